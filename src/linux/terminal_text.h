// Texts that come from outside the program (names in the installer
// archive and on the card, tools' error lines) made safe to show on a
// terminal: no control sequence of theirs reaches it.
#pragma once

#include <string>
#include <string_view>

namespace tessarin::linux_port {

// Control characters (C0, DEL, C1) and bytes that are not UTF-8 become
// visible escapes ("\n", "\x1b", "\x9b"); everything else, letters beyond
// ASCII included, stays as it is. With keepLineBreaks a line break stays a
// line break (message texts of several lines).
std::string EscapeForTerminal(std::string_view text, bool keepLineBreaks = false);

}  // namespace tessarin::linux_port
