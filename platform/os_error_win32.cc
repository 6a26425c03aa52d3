// GetLastError onto the failure numbers, and a share's passing "busy".
#include "platform/failure.h"
#include "platform/kernel32.h"
#include "platform/os_error.h"

namespace trackrelay {

int FailureNumberOfError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
      return kPathNotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return kFileAlreadyExists;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return kPermissionDenied;
    case ERROR_NOT_READY:
      return kDiskNotReady;
    case ERROR_HANDLE_EOF:
      return kInputPastEnd;
  }
  return kDeviceIoError;
}

void RaiseError(DWORD error) { RaiseFailure(FailureNumberOfError(error)); }

void RaiseLastError() { RaiseError(GetLastError()); }

bool Busy(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_BUSY ||
         error == ERROR_SHARING_PAUSED || error == ERROR_NETWORK_BUSY;
}

}  // namespace trackrelay
