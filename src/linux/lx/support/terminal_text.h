// Texts that come from outside the program (names in the installer
// archive and on the card, tools' error lines) made safe to show on a
// terminal: no control sequence of theirs reaches it.
#pragma once

#include <string>
#include <string_view>

namespace tessarin::linux_port {

// The length of the well-formed UTF-8 sequence at text[i] (1 for ASCII), 0
// when the bytes there are none (cut, overlong, a surrogate half, beyond
// U+10FFFF).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i);

// Control characters (C0, DEL, C1) and bytes that are not UTF-8 become
// visible escapes ("\n", "\x1b", "\x9b"); everything else, letters beyond
// ASCII included, stays as it is. With keepLineBreaks a line break stays a
// line break (message texts of several lines).
std::string EscapeForTerminal(std::string_view text, bool keepLineBreaks = false);

// A word a shell reads back as it stands, for the commands the messages
// show: as it is when it holds nothing the shell would act on, else in
// single quotes; control characters escaped as above (a message never
// carries them to the terminal).
std::string ShellQuoted(std::string_view word);

}  // namespace tessarin::linux_port
