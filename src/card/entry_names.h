// Names that come from a card or an archive, before they touch a local
// path. A card from the field and an installer archive are untrusted: a
// name is one component, never a way up or out of the folder it lands in.
#pragma once

#include <string>
#include <string_view>

namespace tessarin {

// Why a name cannot be one component of a local path: empty, "." or "..",
// holding a separator ('/' or '\\'), NUL or a control character. Empty
// when it can.
std::string WhyNameUnsafe(std::string_view name);

// Why a relative path ('/'-separated) cannot be joined below a folder: a
// component as above (a leading, doubled or trailing '/' makes an empty
// one). Empty when it can.
std::string WhyRelativePathUnsafe(std::string_view path);

// The name as a message may show it: printable ASCII and UTF-8 as they
// stand, every other byte as \xNN, a backslash as "\\".
std::string EscapeName(std::string_view name);

}  // namespace tessarin
