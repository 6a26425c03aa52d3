// The byte-range lock on POSIX: a lock of the open file itself (OFD) on one byte of a lock file,
// waited for in the kernel, and on a share by its file server, under the process's alarm.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <cstdint>

#include "platform/byte_lock.h"
#include "platform/drive_walk.h"
#include "platform/failure.h"
#include "platform/file_system_common.h"
#include "platform/os_error.h"
#include "platform/unique_handle.h"

namespace trackrelay {
namespace {

// The permissions a lock file may have, from the ones it has: read and write for its owner, and
// for its group only both together. Whoever may open it may hold its bytes, and a read lock
// needs no more than reading: a group that may only read, or anybody else, could hold every
// number and the counter's lock, and has no use of the file but that.
mode_t LockFileMode(mode_t mode) { return (mode & 0600) | ((mode & 0060) == 0060 ? 0060 : 0); }

}  // namespace

// Opens the lock file at the place for reading and writing, making it when it is missing: a
// write lock needs a descriptor open for writing. Anything but a regular file is refused with 70.
// A new one is its owner's alone, or its group's too in a set-group-ID folder, where the
// administrator has the folder's files shared by a group (the web servers of a farm that run
// as different users); that mode is set whatever the umask, which could leave the group reading
// alone. One found wider is narrowed (LockFileMode) where this process may change it; where it
// may not, it is locked all the same, since refusing would stop every request.
UniqueDescriptor OpenLockFile(const Place& place) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueDescriptor fd(openat(place.folder.get(), place.name.c_str(), kFlags));
  bool made = false;
  if (fd.get() < 0 && errno == ENOENT) {
    fd = UniqueDescriptor(openat(place.folder.get(), place.name.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
    made = fd.get() >= 0;
    // Made by another web server's client of a share at the same moment: open the one it made.
    if (fd.get() < 0 && errno == EEXIST) fd = UniqueDescriptor(openat(place.folder.get(), place.name.c_str(), kFlags));
  }
  if (fd.get() < 0) RaiseError(errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) RaiseError(errno);
  if (!S_ISREG(st.st_mode)) RaiseFailure(kPermissionDenied);
  mode_t wanted = LockFileMode(st.st_mode);
  struct stat folder;
  if (made && fstat(place.folder.get(), &folder) == 0 && (folder.st_mode & S_ISGID) != 0) wanted = 0660;
  if ((st.st_mode & 07777) != wanted) fchmod(fd.get(), wanted);
  return fd;
}

namespace {

// A write lock of the one byte at offset slot.
struct flock ByteRange(std::int64_t slot) {
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(slot);
  range.l_len = 1;
  return range;
}

// SIGALRM's handler, installed for a bounded wait only: the signal has nothing to do but end the
// wait's call (EINTR), and the wait then looks at its deadline.
void EndTheWaitsCall(int) {}

// How often the alarm comes again once the wait's time is up, so that an alarm that came just
// before the wait's call began, and so ended nothing, is followed by one that ends it.
constexpr long kAlarmRepeatUs = 10000;

}  // namespace

bool TryLockByte(int fd, std::int64_t slot) {
  struct flock range = ByteRange(slot);
  if (fcntl(fd, F_OFD_SETLK, &range) == 0) return true;
  if (errno == EAGAIN || errno == EACCES) return false;
  RaiseError(errno);
}

// Takes the write lock of byte slot of the open lock file, waiting for it up to longest_wait_ms;
// false when another held it all that time. The wait is the kernel's (F_OFD_SETLKW), which on a
// share is the file server's: waiters queue there, cost nothing while they wait, and the lock
// passes to one of them the moment it is let go, where asking again and again would load a file
// server that answers each try (a CephFS MDS, 200 waiters at once) until it handed out fewer
// numbers than the waiters asked for. That wait ends only when the lock is had, or when a signal
// comes: the process's real-time alarm (setitimer) is set to the end of the wait, SIGALRM
// caught without restarting the call, and both are put back as they were before it returns. The
// process has one thread, whose alarm this is.
bool TakeLockWithin(int fd, std::int64_t slot, std::uint64_t longest_wait_ms) {
  struct flock range = ByteRange(slot);
  // A lock that is free costs one call and no alarm.
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &range) == 0) return true;
    if (errno == EAGAIN || errno == EACCES) break;
    if (errno != EINTR) RaiseError(errno);
  }
  if (longest_wait_ms == 0) return false;
  const Deadline deadline(static_cast<DWORD>(std::min<std::uint64_t>(longest_wait_ms, 0x7FFFFFFF)));
  struct sigaction wake {}, before {};
  wake.sa_handler = EndTheWaitsCall;
  sigemptyset(&wake.sa_mask);
  sigaction(SIGALRM, &wake, &before);
  itimerval alarm{};
  alarm.it_value.tv_sec = static_cast<time_t>(longest_wait_ms / 1000);
  alarm.it_value.tv_usec = static_cast<suseconds_t>(longest_wait_ms % 1000 * 1000);
  alarm.it_interval.tv_usec = kAlarmRepeatUs;
  // Without its alarm the wait would have no end: a process that may not set one (a filter
  // that refuses the call) fails the request here rather than wait past its time.
  if (setitimer(ITIMER_REAL, &alarm, nullptr) != 0) {
    const int refused = errno;
    sigaction(SIGALRM, &before, nullptr);
    RaiseError(refused);
  }
  bool taken = false;
  int error = 0;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLKW, &range) == 0) {
      taken = true;
      break;
    }
    if (errno != EINTR) {
      error = errno;
      break;
    }
    if (deadline.LeftMs() <= 0) break;
  }
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &before, nullptr);
  if (error != 0) RaiseError(error);
  return taken;
}

}  // namespace trackrelay
