// errno onto the failure numbers.
#include <errno.h>

#include "platform/failure.h"
#include "platform/os_error.h"

namespace trackrelay {

int FailureNumberOfError(int error) {
  switch (error) {
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
      return kPathNotFound;
    case EEXIST:
    case ENOTEMPTY:
      return kFileAlreadyExists;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
    case EBUSY:
    case ELOOP:  // a link where a file was wanted: no plain file
      return kPermissionDenied;
#ifdef ENOMEDIUM
    case ENOMEDIUM:
      return kDiskNotReady;
#endif
    case ENOMEM:
      return kOutOfMemory;
  }
  return kDeviceIoError;
}

void RaiseError(int error) {
  if (error == ESTALE) throw StaleFileFailure();
  RaiseFailure(FailureNumberOfError(error));
}

bool Unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

}  // namespace trackrelay
