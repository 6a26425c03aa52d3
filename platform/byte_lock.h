// The byte-range lock on one byte of a lock file that is never written or replaced: the counter's
// lock, taken within a bounded wait, and the claims that hold a number for a process's life.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/drive_walk.h"
#include "platform/kernel32.h"
#include "platform/unique_handle.h"

namespace trackrelay {

#ifdef _WIN32

// The one byte at offset slot, as LockFileEx and UnlockFileEx take it.
OVERLAPPED ByteAt(std::int64_t slot);

// This machine's turn at the lock on one byte of a lock file: a mutex named for that file and byte,
// which the processes of this machine that wait for the lock take in turn, waiting for it in the
// kernel with a bound. Only the process whose turn it is asks for the lock itself, and only while
// a process of another machine holds it; the others wait at no cost, and the turn passes to one
// of them when it is let go (or when its holder dies: the mutex is then abandoned, and the next
// takes it all the same). The turn is released when it goes.
class MachineTurn {
 public:
  MachineTurn() = default;
  MachineTurn(MachineTurn&& other) noexcept : mutex_(std::move(other.mutex_)), owned_(std::exchange(other.owned_, false)) {}
  MachineTurn& operator=(MachineTurn&&) = delete;
  ~MachineTurn() {
    if (owned_) ReleaseMutex(mutex_.get());
  }

  // Waits up to milliseconds for the turn at the lock on byte slot of the open lock file; false
  // when another process of this machine held it all that time. Where the mutex can be neither
  // made nor opened (another user's, whose permissions keep it), there is no turn to wait for,
  // and the caller asks for the lock among all the others.
  bool Take(HANDLE lock_file, std::int64_t slot, DWORD milliseconds);

 private:
  UniqueMutex mutex_;
  bool owned_ = false;
};

// Opens the lock file at the place for reading and writing, making it when it is missing; it is
// never written. Anything but a plain file at the place is refused with 70.
UniqueHandle OpenLockFile(const Place& place);

// Takes the lock on one byte of the open lock file within longest_wait_ms (0 tries once), and
// this machine's turn at it (turn) when it had to wait; raises LockTimeoutFailure (70) when
// another held the one or the other all that time.
void WaitForByteLock(HANDLE file, std::int64_t slot, std::uint64_t longest_wait_ms, MachineTurn& turn);

#else

// Opens the lock file at the place for reading and writing, making it when it is missing.
// Anything but a regular file is refused with 70. A new one is its owner's alone, or its group's
// too in a set-group-ID folder; one found wider is narrowed where this process may.
UniqueDescriptor OpenLockFile(const Place& place);

// Takes the write lock of byte slot of the open lock file, a lock of the open file itself (OFD),
// without waiting; false when another holds it.
bool TryLockByte(int fd, std::int64_t slot);

// As TryLockByte, waiting for the lock up to longest_wait_ms (0 tries once); false when another
// held it all that time.
bool TakeLockWithin(int fd, std::int64_t slot, std::uint64_t longest_wait_ms);

#endif

}  // namespace trackrelay
