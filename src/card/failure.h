// What went wrong, in the restore's own terms, with the platform's code for
// it carried beside it. A Windows error code and an errno value never share
// one integer: the origin says whose code it is, and the text for a code
// comes from the platform that produced it (SystemPort::DescribeFailure).
#pragma once

#include <cstdint>

namespace tessarin {

enum class FailureKind {
  None,            // nothing failed
  Open,            // a device, file or program could not be opened or started
  Read,            // reading failed, or moved less than a whole sector
  Write,           // writing failed, or moved less than a whole sector
  ReadBack,        // written, but the card gives back something else
  WriteProtected,  // the medium refuses to be written
  Media,           // no medium, or the medium went away
  Memory,          // no memory for a buffer
  InvalidData,     // data of the wrong form, such as a boot image of the wrong size
  InvalidHandle,   // a transfer on a card that is not held
  NotFound,        // a file, a resource or a program is missing
  Cancelled,       // stopped on request
  Timeout,         // gave up waiting
};

// Whose code a failure carries.
enum class CodeOrigin {
  None,   // found by the restore's own code; no platform code
  Win32,  // GetLastError's code
  Errno,  // errno's value
};

struct Failure {
  FailureKind kind = FailureKind::None;
  CodeOrigin origin = CodeOrigin::None;
  std::uint32_t code = 0;  // meaningful only with an origin

  // A failure the restore's own code found.
  static constexpr Failure Own(FailureKind kind) { return Failure{kind, CodeOrigin::None, 0}; }
  // A platform call that failed without leaving a code is a failure the
  // restore saw itself: code 0 would read as success in the error box.
  static constexpr Failure Win32(FailureKind kind, std::uint32_t code) {
    return code == 0 ? Own(kind) : Failure{kind, CodeOrigin::Win32, code};
  }
  static constexpr Failure Errno(FailureKind kind, int code) {
    return code <= 0 ? Own(kind) : Failure{kind, CodeOrigin::Errno, static_cast<std::uint32_t>(code)};
  }

  explicit constexpr operator bool() const { return kind != FailureKind::None; }
  friend constexpr bool operator==(const Failure&, const Failure&) = default;
};

// The Windows error code that names a failure the restore's own code found
// (ERROR_INVALID_DATA for an unusable boot image, ERROR_WRITE_FAULT for a
// sector written in part, ...): the Windows program has always shown these
// in its error box, and operators look them up.
std::uint32_t WindowsCodeOf(FailureKind kind);

// One plain sentence for a failure without a platform code, for platforms
// that have no code of their own for what the restore found.
const char* FailureSentence(FailureKind kind);

}  // namespace tessarin
