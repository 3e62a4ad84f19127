// The one message box of the program: modal, owned by the main window and
// captioned with the application's name. A box that names no icon gets the
// exclamation icon (OK types) or the question icon (Yes/No types).
#pragma once

#include <string>

namespace tessarin::ui {

int AppMessageBox(const std::string& text, unsigned flags);

}  // namespace tessarin::ui
