// Names on the card as FAT treats them: UTF-8 on this side, compared
// without regard to case.
#pragma once

#include <string>
#include <string_view>

namespace tessarin::linux_port {

// Decodes the UTF-8 character at text[i] into cp and moves i past it;
// false for a malformed, overlong or surrogate sequence (which no card name
// can be made of).
bool DecodeUtf8(std::string_view text, std::size_t& i, char32_t& cp);

// The name in upper case as FAT compares long names, with the C.UTF-8
// locale's table whatever the operator's locale; bytes that are not UTF-8
// stay as they are.
std::string FoldCardName(std::string_view name);

}  // namespace tessarin::linux_port
