// The byte-range lock on Windows: LockFileEx on one byte of a lock file, and this machine's turn
// at it, a named mutex waited for in the kernel with a bound, while another machine holds it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/byte_lock.h"
#include "platform/drive_walk.h"
#include "platform/failure.h"
#include "platform/file_system_common.h"
#include "platform/kernel32.h"
#include "platform/os_error.h"
#include "platform/unique_handle.h"

namespace trackrelay {

// The one byte at offset slot, as LockFileEx and UnlockFileEx take it.
OVERLAPPED ByteAt(std::int64_t slot) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(slot) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(slot) >> 32);
  return at;
}

bool MachineTurn::Take(HANDLE lock_file, std::int64_t slot, DWORD milliseconds) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(lock_file, &info)) return true;
  char file_id[32];
  std::snprintf(file_id, sizeof file_id, "%08lx-%08lx%08lx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh), static_cast<unsigned long>(info.nFileIndexLow));
  const std::string name = std::string("Local\\trackrelay-lock-") + file_id + "-" + std::to_string(slot);
  mutex_.Reset(CreateMutexA(nullptr, FALSE, name.c_str()));
  if (!mutex_.valid()) return true;
  const DWORD waited = WaitForSingleObject(mutex_.get(), milliseconds);
  owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  return owned_ || waited != WAIT_TIMEOUT;
}

// Opens the lock file at the place for reading and writing (a byte-range lock needs a handle
// with either access), making it when it is missing; it is never written. Anything but a plain
// file at the place is refused with 70. Everything is shared: the lock is in the bytes, not in
// the open.
UniqueHandle OpenLockFile(const Place& place) {
  UniqueHandle file(CreateFileA(place.Path().c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) RaiseLastError();
  if (!IsPlainFileAt(place, file.get())) RaiseFailure(kPermissionDenied);
  return file;
}

namespace {

// How the process whose turn it is asks for a lock that a process of another machine holds: the
// pauses between its tries double from kLockFirstPauseMs to kLockLongestPauseMs and stay there.
// Each try is one call, on a share one request to its server, and a web server makes them from
// one process at a time (MachineTurn).
constexpr DWORD kLockFirstPauseMs = 1;
constexpr DWORD kLockLongestPauseMs = 16;

// Takes the lock on one byte of the open lock file without waiting; false when another holds it.
bool TryByteLock(HANDLE file, std::int64_t slot) {
  OVERLAPPED at = ByteAt(slot);
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return true;
  const DWORD error = GetLastError();
  if (error != ERROR_LOCK_VIOLATION && error != ERROR_SHARING_VIOLATION) RaiseError(error);
  return false;
}

}  // namespace

// Takes the lock on one byte of the open lock file within longest_wait_ms, and this machine's turn
// at it (turn) when it had to wait; raises LockTimeoutFailure (70) when another held the one or
// the other all that time. A LockFileEx that waits ends only when the lock is had: its overlapped
// form, whose wait could be given up, Wine does not offer, and the file system may answer it with
// a conflict instead of waiting all the same (Wine, when the lock is held by a process that
// another Wine server serves). So the kernel's bounded wait is for the turn, and the lock itself
// is asked for again and again by the one process whose turn it is.
void WaitForByteLock(HANDLE file, std::int64_t slot, std::uint64_t longest_wait_ms, MachineTurn& turn) {
  // A lock that is free costs one call.
  if (TryByteLock(file, slot)) return;
  if (longest_wait_ms == 0) throw LockTimeoutFailure();
  const Deadline deadline(static_cast<DWORD>(std::min<std::uint64_t>(longest_wait_ms, 0x7FFFFFFF)));
  if (!turn.Take(file, slot, static_cast<DWORD>(std::max<long long>(deadline.LeftMs(), 0)))) throw LockTimeoutFailure();
  for (DWORD pause = kLockFirstPauseMs;; pause = std::min(2 * pause, kLockLongestPauseMs)) {
    if (TryByteLock(file, slot)) return;
    const long long left = deadline.LeftMs();
    if (left <= 0) throw LockTimeoutFailure();
    ::Sleep(static_cast<DWORD>(std::min<long long>(pause, left)));
  }
}

}  // namespace trackrelay
