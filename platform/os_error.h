// The system's errors as the failure numbers that every System raises: errno on POSIX, GetLastError
// on Windows, and which of them is a share's passing "busy" that a delete or a rename waits out.
#pragma once

#ifndef _WIN32
#include <errno.h>
#endif

#include "platform/file_system_common.h"
#include "platform/kernel32.h"

namespace trackrelay {

#ifdef _WIN32

// The failure number of a GetLastError code.
int FailureNumberOfError(DWORD error);

[[noreturn]] void RaiseError(DWORD error);
[[noreturn]] void RaiseLastError();

// The error of a Win32 call that returned FALSE on failure.
inline DWORD ErrorOf(BOOL succeeded) { return succeeded ? 0 : GetLastError(); }

// A share's passing "busy" on a delete or a rename: a sharing or lock violation while the server
// still holds the file's handle, or a busy or paused share.
bool Busy(DWORD error);

// call returns 0 or the error that made it fail; the result is 0 or the last error.
template <typename Call>
DWORD RetryWhileBusy(Call call) {
  return RetryWhileShareBusy(call, Busy);
}

#else

// The failure number of an errno value.
int FailureNumberOfError(int error);

// Raises the failure of an errno value; ESTALE, a file replaced through another client of a share
// meanwhile, as StaleFileFailure.
[[noreturn]] void RaiseError(int error);

// Whether an error says that the file system lacks the operation, not that this one failed: a
// rename that never replaces (SMB and SFTP mounts, CephFS), a hard link, or a flush (some FUSE
// mounts answer a folder's, or a file's, fsync with EINVAL). For a flush nothing better can be
// had there, and refusing would stop every request on such a share. (ENOTSUP is EOPNOTSUPP.)
bool Unsupported(int error);

// A share's passing "busy" on a delete or a rename is EBUSY here. call returns 0, or -1 with the
// error in errno; the result is 0 or the error.
template <typename Call>
int RetryWhileBusy(Call call) {
  return RetryWhileShareBusy([&]() -> int { return call() == 0 ? 0 : errno; },
                             [](int error) { return error == EBUSY; });
}

#endif

}  // namespace trackrelay
