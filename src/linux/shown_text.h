// Text from the card, an archive or the system (labels, names, mount
// points, command lines) made safe to show on a terminal: control
// characters and bytes that are not UTF-8 appear as \xNN, so that nothing
// read from a card can move the cursor or change the terminal's state.
#pragma once

#include <string>
#include <string_view>

namespace tessarin::linux_port {

std::string ShownText(std::string_view text);

}  // namespace tessarin::linux_port
