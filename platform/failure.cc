#include "platform/failure.h"

namespace trackrelay {

std::string Failure::FailureMessage(int number) {
  switch (number) {
    case kInvalidArgument: return "Invalid procedure call or argument";
    case kOverflow: return "Overflow";
    case kOutOfMemory: return "Out of memory";
    case kTypeMismatch: return "Type mismatch";
    case kFileNotFound: return "File not found";
    case kDeviceIoError: return "Device I/O error";
    case kFileAlreadyExists: return "File already exists";
    case kInputPastEnd: return "Input past end of file";
    case kPermissionDenied: return "Permission denied";
    case kDiskNotReady: return "Disk not ready";
    case kPathNotFound: return "Path not found";
  }
  return "Application-defined or object-defined error";
}

void RaiseFailure(int number) { throw Failure(number); }

}  // namespace trackrelay
