#include "card/failure.h"

namespace tessarin {

std::uint32_t WindowsCodeOf(FailureKind kind) {
  switch (kind) {
    case FailureKind::None:
      return 0;
    case FailureKind::Open:
      return 110;  // ERROR_OPEN_FAILED
    case FailureKind::Read:
      return 30;  // ERROR_READ_FAULT
    case FailureKind::Write:
    case FailureKind::ReadBack:  // the card did not take the write
      return 29;                 // ERROR_WRITE_FAULT
    case FailureKind::WriteProtected:
      return 19;  // ERROR_WRITE_PROTECT
    case FailureKind::Media:
      return 21;  // ERROR_NOT_READY
    case FailureKind::Memory:
      return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case FailureKind::InvalidData:
      return 13;  // ERROR_INVALID_DATA
    case FailureKind::InvalidHandle:
      return 6;  // ERROR_INVALID_HANDLE
    case FailureKind::NotFound:
      return 2;  // ERROR_FILE_NOT_FOUND
    case FailureKind::Cancelled:
      return 1223;  // ERROR_CANCELLED
    case FailureKind::Timeout:
      return 1460;  // ERROR_TIMEOUT
  }
  return 13;
}

const char* FailureSentence(FailureKind kind) {
  switch (kind) {
    case FailureKind::None:
      return "Nothing failed.";
    case FailureKind::Open:
      return "The card or file could not be opened.";
    case FailureKind::Read:
      return "The card could not be read completely.";
    case FailureKind::Write:
      return "The card could not be written completely.";
    case FailureKind::ReadBack:
      return "The card did not keep what was written: it reads back different.";
    case FailureKind::WriteProtected:
      return "The card is write-protected.";
    case FailureKind::Media:
      return "The card is not ready or has been removed.";
    case FailureKind::Memory:
      return "There is not enough memory.";
    case FailureKind::InvalidData:
      return "The data is invalid.";
    case FailureKind::InvalidHandle:
      return "The card is not open.";
    case FailureKind::NotFound:
      return "The file or resource was not found.";
    case FailureKind::Cancelled:
      return "The operation was cancelled.";
    case FailureKind::Timeout:
      return "The operation timed out.";
  }
  return "The operation failed.";
}

}  // namespace tessarin
