// The files and the clock on POSIX: drive paths mapped below the drive root and walked folder by
// folder without following links, errno mapped onto the failure numbers, and the one real System.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/arrival_watch.h"
#include "platform/chunked_reader.h"
#include "platform/confinement.h"
#include "platform/drive_path.h"
#include "platform/failure.h"
#include "platform/file_system_common.h"
#include "platform/file_system_posix.h"
#include "platform/kernel32.h"
#include "platform/system.h"
#include "platform/text_rules.h"
#include "platform/unique_handle.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace trackrelay {
namespace {

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

[[noreturn]] void RaiseError(int error) {
  if (error == ESTALE) throw StaleFileFailure();
  RaiseFailure(FailureNumberOfError(error));
}

// Where a drive path leads: its folder, reached without following a link below the drive, and
// the name in it.
struct Place {
  UniqueDescriptor folder;
  std::string name;
};

// Reaches the folder of a drive path. The drive's own folder (ROOT/x) is taken as the
// administrator set it up, a link to a mount point included, and so is the first folder below
// c: (c:\woe), which the administrator may make a link to a folder on a share; every other
// folder is opened with O_NOFOLLOW, so that nobody who can write to the share can point the
// program at a local folder. A missing folder, a file or a link where a folder should be: 76.
// readable asks for a folder descriptor that can be synced; otherwise a path descriptor does,
// which costs a network share no open. Returns 0 and fills place, or the failure number.
int TryReach(const std::string& path, bool readable, Place& place) {
  std::string start;
  std::size_t at = 0;
  const bool drive = path.size() >= 2 && path[1] == ':' &&
                     IsAsciiLetter(path[0]);
  // Below c: the first folder is the administrator's; nobody else writes to that disk.
  bool administrators = drive && (path[0] | 0x20) == 'c';
  if (drive) {
    start = MapDrivePath(path.substr(0, 2));
    at = 2;
  } else {
    // Not a drive path: a path of this machine, trusted up to its last name.
    const std::size_t last = path.find_last_of("/\\");
    start = last == std::string::npos ? "." : last == 0 ? "/" : MapDrivePath(path.substr(0, last));
    at = last == std::string::npos ? 0 : last + 1;
  }
  std::vector<std::string> names = PathNames(std::string_view(path).substr(at));
  place.name = names.back();
  names.pop_back();
  if (NamesNoEntry(place.name)) return kPathNotFound;

  UniqueDescriptor folder(open(start.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return errno == EACCES ? kPermissionDenied : kPathNotFound;
  for (const std::string& name : names) {
    if (StaysInFolder(name)) continue;
    if (name == "..") return kPathNotFound;
    const int follow = std::exchange(administrators, false) ? 0 : O_NOFOLLOW;
    UniqueDescriptor next(openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | follow | O_CLOEXEC));
    if (next.get() < 0) return errno == EACCES ? kPermissionDenied : kPathNotFound;
    folder = std::move(next);
  }
  if (readable) {
    UniqueDescriptor opened(openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0) return FailureNumberOfError(errno);
    folder = std::move(opened);
  }
  place.folder = std::move(folder);
  return 0;
}

Place Reach(const std::string& path, bool readable = false) {
  Place place;
  if (int failure = TryReach(path, readable, place)) RaiseFailure(failure);
  return place;
}

// A share's passing "busy" on a delete or a rename is EBUSY here. call returns 0, or -1 with the
// error in errno; the result is 0 or the error.
template <typename Call>
int RetryWhileBusy(Call call) {
  return RetryWhileShareBusy([&]() -> int { return call() == 0 ? 0 : errno; },
                             [](int error) { return error == EBUSY; });
}

int RemoveName(const Place& place) {
  return RetryWhileBusy([&] { return unlinkat(place.folder.get(), place.name.c_str(), 0); });
}

// Whether an error says that the file system lacks the operation, not that this one failed: a
// rename that never replaces (SMB and SFTP mounts, CephFS), a hard link, or a flush (some FUSE
// mounts answer a folder's, or a file's, fsync with EINVAL). For a flush nothing better can be
// had there, and refusing would stop every request on such a share. (ENOTSUP is EOPNOTSUPP.)
bool Unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

// fsync, which the bench's build without flushes skips, to show what the flushes cost beside the
// same program with them.
int Fsync(int fd) {
#ifdef TRACKRELAY_BENCH_WITHOUT_FLUSHES
  (void)fd;
  return 0;
#else
  return fsync(fd);
#endif
}

// Puts what the descriptor's file (or folder) holds on the disk: 0, or the error of a flush that
// failed; a file system that cannot flush counts as done.
int Flush(int fd) {
  while (Fsync(fd) != 0) {
    if (errno == EINTR) continue;
    return Unsupported(errno) ? 0 : errno;
  }
  return 0;
}

// Whether the flush of a folder happened: a file system that cannot flush folders says so with
// its error, and only with it.
bool FlushedFolder(int fd) {
  while (Fsync(fd) != 0) {
    if (errno == EINTR) continue;
    if (Unsupported(errno)) return false;
    RaiseError(errno);
  }
  return true;
}

// The listing of the folder open at folder, from its start; none, with errno telling why, when it
// cannot be read.
UniqueListing ListingOf(int folder) {
  UniqueDescriptor fd(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return UniqueListing();
  UniqueListing listing(fdopendir(fd.get()));
  if (listing.valid()) {
    fd.Release();  // the listing closes it
  } else {
    const int error = errno;
    fd.Reset();
    errno = error;
  }
  return listing;
}

class PosixTextFileReader : public ChunkedTextFileReader {
 public:
  // also_held, when given, is another descriptor that goes with this one: its lock is held as
  // long as the reader lives, and let go after fd is closed.
  PosixTextFileReader(UniqueDescriptor fd, std::size_t chunk_size, UniqueDescriptor also_held = UniqueDescriptor())
      : ChunkedTextFileReader(chunk_size), fd_(std::move(fd)), also_held_(std::move(also_held)) {}
  // Serves bytes already read, holding also_held's lock as long as it lives.
  PosixTextFileReader(const std::string& contents, UniqueDescriptor also_held)
      : ChunkedTextFileReader(0, contents), also_held_(std::move(also_held)) {}
  ~PosixTextFileReader() override {
    // The file first, then the lock that guards it.
    fd_.Reset();
  }
  PosixTextFileReader(const PosixTextFileReader&) = delete;
  PosixTextFileReader& operator=(const PosixTextFileReader&) = delete;

 private:
  std::size_t ReadChunk(char* buffer, std::size_t size) override {
    if (!fd_.valid()) return 0;  // every byte came with the open
    ssize_t got;
    do {
      got = read(fd_.get(), buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) RaiseError(errno);
    return static_cast<std::size_t>(got);
  }

  UniqueDescriptor fd_;
  UniqueDescriptor also_held_;
};

// Opens the named regular file of the folder for reading. The open itself never waits (a pipe
// or a device put where a file should be would otherwise hold the request for ever) and never
// follows a link; then anything but a regular file is refused with 70, whatever a look saw
// before, and reads go on as blocking reads.
UniqueDescriptor OpenRegular(const Place& place) {
  UniqueDescriptor fd(
      openat(place.folder.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) RaiseError(errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) RaiseError(errno);
  if (!S_ISREG(st.st_mode)) RaiseFailure(kPermissionDenied);
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) RaiseError(errno);
  return fd;
}

// The permissions a lock file may have, from the ones it has: read and write for its owner, and
// for its group only both together. Whoever may open it may hold its bytes, and a read lock
// needs no more than reading: a group that may only read, or anybody else, could hold every
// number and the counter's lock, and has no use of the file but that.
mode_t LockFileMode(mode_t mode) { return (mode & 0600) | ((mode & 0060) == 0060 ? 0060 : 0); }

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

// Takes the write lock of range on the open lock file, waiting for it up to longest_wait_ms;
// false when another held it all that time. The wait is the kernel's (F_OFD_SETLKW), which on a
// share is the file server's: waiters queue there, cost nothing while they wait, and the lock
// passes to one of them the moment it is let go, where asking again and again would load a file
// server that answers each try (a CephFS MDS, 200 waiters at once) until it handed out fewer
// numbers than the waiters asked for. That wait ends only when the lock is had, or when a signal
// comes: the process's real-time alarm (setitimer) is set to the end of the wait, SIGALRM
// caught without restarting the call, and both are put back as they were before it returns. The
// process has one thread, whose alarm this is.
bool TakeLockWithin(int fd, struct flock& range, std::uint64_t longest_wait_ms) {
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

// Which file a descriptor or a name leads to.
struct Identity {
  bool known = false;
  dev_t device = 0;
  ino_t inode = 0;
};

// The identity of an open file from what this machine holds of it, without asking a network
// share's server: the failure it would be asked for may be the server's.
Identity IdentityOf(int fd) {
  Identity identity;
  struct statx x;
  if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_INO, &x) == 0) {
    identity = Identity{true, makedev(x.stx_dev_major, x.stx_dev_minor), x.stx_ino};
  } else if (struct stat st; fstat(fd, &st) == 0) {
    identity = Identity{true, st.st_dev, st.st_ino};
  }
  return identity;
}

// Removes the file that a failed write made, so that no half-written file stays behind: only
// while the name still leads to that very file, never to another that somebody put in its
// place meanwhile. Nothing more can be done when this fails; the write's failure is what counts.
void TakeBack(const Place& place, const Identity& made) {
  struct stat now;
  if (made.known && fstatat(place.folder.get(), place.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
      now.st_dev == made.device && now.st_ino == made.inode) {
    RemoveName(place);
  }
}

// The mode a new file is made with for its readers; the umask may narrow it further.
mode_t ModeFor(Readers readers) {
  switch (readers) {
    case Readers::kEveryone:
      return 0666;
    case Readers::kOwnerAndGroup:
      return 0640;
    case Readers::kOwner:
      break;
  }
  return 0600;
}

// Writes text to a new file at the place, made with mode, and flushes it. What stood there is
// removed first: writing through an existing name could reach a file that a link, a hard link
// or another request put there. When any step after the create fails, the new file is taken
// back.
void WriteNewFile(const Place& place, std::string_view text, mode_t mode, const std::string& like_path) {
  const int removed = RemoveName(place);
  if (removed != 0 && removed != ENOENT) RaiseError(removed);
  UniqueDescriptor fd(openat(place.folder.get(), place.name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
  if (fd.get() < 0) RaiseError(errno);
  const Identity made = IdentityOf(fd.get());
  try {
    if (!like_path.empty()) {
      Place like;
      struct stat st;
      if (TryReach(like_path, false, like) == 0 &&
          fstatat(like.folder.get(), like.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
        // The confinement lets no other bits be given (a counter writable by others becomes
        // writable by its owner and group only), and none of them has a use here.
        if (fchmod(fd.get(), st.st_mode & kGrantablePermissions) != 0) RaiseError(errno);
        // Only a privileged process may give its file away; any other keeps it as its own.
        if (fchown(fd.get(), st.st_uid, st.st_gid) != 0 && errno != EPERM) RaiseError(errno);
      }
    }
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t put = write(fd.get(), text.data() + done, text.size() - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) RaiseError(put < 0 ? errno : ENOSPC);
      done += static_cast<std::size_t>(put);
    }
    // Before anybody can see the file under another name: a rename is on the disk at once, the
    // bytes only when flushed, and a power cut would leave the renamed file empty. A share's
    // client flushes to its server, which puts the bytes on its disk.
    if (const int error = Flush(fd.get())) RaiseError(error);
    // Network file systems may report a failed write only here (an SFTP mount whose server's
    // disk is full). EINTR leaves the descriptor closed on Linux, and the data was handed over
    // already.
    if (!fd.Close() && errno != EINTR) RaiseError(errno);
  } catch (...) {
    // Closed first: a share may refuse to remove a file that is still open.
    fd.Reset();
    TakeBack(place, made);
    throw;
  }
}

bool Present(const Place& place) {
  struct stat st;
  return fstatat(place.folder.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

int LinkThenUnlink(const Place& source, const Place& target) {
  const int error = RetryWhileBusy([&] {
    return linkat(source.folder.get(), source.name.c_str(), target.folder.get(), target.name.c_str(), 0);
  });
  if (error != 0 && !(error == ENOENT && Present(source))) return error;
  // ENOENT while the file to link is still there: an SFTP mount (sshfs) makes the link on the
  // server and then looks the new name up, which fails when the remote host has already taken
  // the request in between. The request was published all the same.
  if (const int removed = RemoveName(source)) RaiseError(removed);
  return 0;
}

// The last way to rename without replacing, for a share that offers neither a no-replace rename
// nor hard links: look, then rename. Nothing else creates the target meanwhile, since the caller
// holds the claim of its number and the remote host only ever removes request files.
void RenameCheckingTarget(const Place& source, const Place& target) {
  struct stat st;
  if (fstatat(target.folder.get(), target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    RaiseFailure(kFileAlreadyExists);
  }
  if (errno != ENOENT) RaiseError(errno);
  const int error = RetryWhileBusy([&] {
    return renameat(source.folder.get(), source.name.c_str(), target.folder.get(), target.name.c_str());
  });
  if (error != 0) RaiseError(error);
}

class PosixSystem : public System {
 public:
  void WriteTextFile(const std::string& path, std::string_view text, Readers readers) override {
    WriteNewFile(Reach(path), text, ModeFor(readers), "");
  }

  void WriteTextFileLike(const std::string& path, std::string_view text, const std::string& like_path) override {
    // Its owner's alone until it takes the other file's permissions: never wider meanwhile.
    WriteNewFile(Reach(path), text, ModeFor(Readers::kOwner), like_path);
  }

  void FlushFile(const std::string& path) override {
    // Opened for reading, which is all a flush needs on Linux: the file may be another party's.
    const UniqueDescriptor fd = OpenRegular(Reach(path));
    if (const int error = Flush(fd.get())) RaiseError(error);
  }

  bool FlushFolder(const std::string& path) override {
    return FlushedFolder(Reach(StandInFileOf(path), true).folder.get());
  }

  std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) override {
    return std::make_unique<PosixTextFileReader>(OpenRegular(Reach(path)), kTextReadChunk);
  }

  std::unique_ptr<TextFileReader> OpenTextFileLocked(const std::string& path, const std::string& lock_path,
                                                     std::int64_t lock_slot, std::uint64_t longest_wait_ms) override {
    // Waiters queue on a byte of a file that is never replaced, not on the file they then read:
    // each replacement of that file would otherwise wake every waiter to find it gone. A
    // byte-range lock, not flock: the file servers of shares (Gluster, CephFS, NFS) enforce
    // byte-range locks across their clients, and not always flock; and a lock of the open file
    // itself (OFD), not of the process, so that no other descriptor this process closes can
    // drop it.
    UniqueDescriptor lock = OpenLockFile(Reach(lock_path));
    struct flock range = ByteRange(lock_slot);
    if (!TakeLockWithin(lock.get(), range, longest_wait_ms)) throw LockTimeoutFailure();
    // Read whole and closed at once, so that the holder renames its replacement over a file that
    // nobody holds open: a FUSE file system keeps an open file that is renamed over by first
    // renaming it to a hidden name, and a power cut between its two renames would leave no
    // counter at all. Nor does the next holder meet this one's descriptor on a file it replaces.
    const UniqueDescriptor fd = OpenRegular(Reach(path));
    std::string contents;
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) RaiseError(errno);
      if (got == 0) break;
      contents.append(buffer, static_cast<std::size_t>(got));
    }
    return std::make_unique<PosixTextFileReader>(contents, std::move(lock));
  }

  void RenameNoReplace(const std::string& from, const std::string& to) override { RenameNoReplaceTellingHow(from, to); }

  RenameWay RenameNoReplaceTellingHow(const std::string& from, const std::string& to) override {
    const Place source = Reach(from), target = Reach(to);
    int error = RetryWhileBusy([&] {
      return static_cast<int>(syscall(SYS_renameat2, source.folder.get(), source.name.c_str(), target.folder.get(),
                                      target.name.c_str(), RENAME_NOREPLACE));
    });
    if (error == 0) return RenameWay::kNoReplaceRename;
    // Old kernels and some file systems (SMB and SFTP mounts among them) refuse the flag.
    if (!Unsupported(error)) RaiseError(error);
    error = LinkThenUnlink(source, target);
    if (error == 0) return RenameWay::kHardLink;
    // Some shares offer hard links neither.
    if (error != EPERM && !Unsupported(error)) RaiseError(error);
    RenameCheckingTarget(source, target);
    return RenameWay::kCheckedRename;
  }

  void RenameReplacing(const std::string& from, const std::string& to) override {
    const Place source = Reach(from), target = Reach(to, true);
    const int error = RetryWhileBusy([&] {
      return renameat(source.folder.get(), source.name.c_str(), target.folder.get(), target.name.c_str());
    });
    if (error != 0) RaiseError(error);
    // A rename is only on the disk once its folder is: a counter whose replacement a power cut
    // undid would hand out its numbers again. When this flush fails the rename stands, but the
    // caller learns that it may not last and hands out nothing on it.
    FlushedFolder(target.folder.get());
  }

  void RemoveFile(const std::string& path) override {
    if (const int error = RemoveName(Reach(path))) RaiseError(error);
  }

  std::string LookUpPlainFile(const std::string& path) override {
    // A miss, the common case while a request waits, costs a walk to the folder and one stat.
    // Any error means the file cannot be taken now: a drive that is away for a moment does not
    // end the wait.
    Place place;
    if (TryReach(path, false, place) != 0) return "";
    const int folder = place.folder.get();
    const std::string& name = place.name;
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return "";
    if (name[0] == '.') return "";  // hidden
    // On a case-insensitive mount the stat also finds 42.OUT for 42.out; the folder holds
    // the name as it is stored. Reading a folder of thousands of files costs more than the
    // rest of the request, so it is read only when the folder may fold case: when the name
    // spelt in the other case finds a file too. When that spelling finds nothing while the
    // name itself still finds the same file before and after, the folder tells case apart and
    // the stat found the stored name.
    const std::string other_case = InOtherCase(name);
    if (other_case == name) return name;  // no letters: there is no other spelling
    struct stat other, again;
    if (fstatat(folder, other_case.c_str(), &other, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
      if (fstatat(folder, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(again.st_mode)) return "";
      if (again.st_dev == st.st_dev && again.st_ino == st.st_ino) return name;
    }
    const UniqueListing entries = ListingOf(folder);
    if (!entries.valid()) return "";
    StoredSpellingSearch spelling(name);
    while (const dirent* entry = readdir(entries.get())) {
      spelling.Offer(entry->d_name);
      if (spelling.Settled()) break;
    }
    return spelling.stored();
  }

  void ClaimForProcess(const std::string& path, int slot) override {
    UniqueDescriptor fd = OpenLockFile(Reach(path));
    // One byte of the file a slot, locked and never written. A lock of the open file itself
    // (not of the process) holds whatever else this process opens and closes; the end of the
    // process, however it comes, closes the descriptor and so releases the claim.
    struct flock range = ByteRange(slot);
    if (fcntl(fd.get(), F_OFD_SETLK, &range) != 0) {
      if (errno == EAGAIN || errno == EACCES) RaiseFailure(kFileAlreadyExists);
      RaiseError(errno);
    }
    fd.Release();  // held until the process ends
  }

  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }

  std::uint64_t MonotonicMilliseconds() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
  }

  void WatchFolder(const std::string& path) override {
    // A watch set up before belongs to an earlier folder: even one that cannot be reached now
    // ends it.
    watch_.Disarm();
    Place place;
    if (TryReach(StandInFileOf(path), false, place) != 0) return;
    struct statfs mount;
    if (fstatfs(place.folder.get(), &mount) != 0 || Remote(mount.f_type)) return;
    watch_.Set(path.substr(0, path.find_last_of("\\/") + 1), WatchedFolder{place.folder.get()});
  }

  void WatchForArrival(const std::string& path) override { watch_.Choose(path); }

  DWORD AwaitArrival(const std::string& path, DWORD milliseconds) override {
    return watch_.Await(path, milliseconds);
  }

  DriveFacts DescribeDrive(char letter) override {
    DriveFacts facts;
    const std::string folder = MapDrivePath(std::string(1, letter) + ":");
    facts.description = folder;
    struct stat own, st;
    const bool link = lstat(folder.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      facts.description += link ? ", a link that leads to no folder" : ", which is no folder";
      return facts;
    }
    facts.present = true;
    char real[PATH_MAX];
    if (realpath(folder.c_str(), real) == nullptr) return facts;
    if (link) facts.description += std::string(", a link to ") + real;
    const Mount mount = MountOf(real);
    if (!mount.point.empty()) {
      facts.description += mount.point == real ? ", where " + mount.type + " is mounted"
                                               : ", on " + mount.type + " mounted at " + mount.point;
    }
    struct statfs system;
    facts.network = statfs(real, &system) == 0 && Remote(system.f_type);
    return facts;
  }

  EntryFacts DescribeEntry(const std::string& path) override {
    EntryFacts facts;
    Place place;
    struct stat st;
    if (TryReach(path, false, place) != 0) {
      facts.kind = EntryKind::kUnreachable;
    } else if (fstatat(place.folder.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      facts.kind = errno == ENOENT ? EntryKind::kMissing : EntryKind::kUnreachable;
    } else {
      facts.kind = S_ISDIR(st.st_mode)   ? EntryKind::kFolder
                   : S_ISREG(st.st_mode) ? EntryKind::kPlainFile
                   : S_ISLNK(st.st_mode) ? EntryKind::kLink
                                         : EntryKind::kOther;
      facts.modified_ms = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    }
    return facts;
  }

  std::vector<std::string> ListFolder(const std::string& path) override {
    const Place place = Reach(StandInFileOf(path), true);
    const UniqueListing entries = ListingOf(place.folder.get());
    if (!entries.valid()) RaiseError(errno);
    std::vector<std::string> names;
    while (const dirent* entry = readdir(entries.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    return names;
  }

  bool MayReplace(const std::string& path) override {
    Place place;
    struct stat file, folder;
    if (TryReach(path, true, place) != 0 ||
        fstatat(place.folder.get(), place.name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(file.st_mode) ||
        fstat(place.folder.get(), &folder) != 0) {
      return false;
    }
    // A rename over the file changes its folder, which must let this process write there; a
    // read-only mount or an immutable folder answers so too.
    if (faccessat(place.folder.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) return false;
    // In a sticky folder only the file's owner, the folder's owner or root may replace it.
    const uid_t self = geteuid();
    if ((folder.st_mode & S_ISVTX) != 0 && self != 0 && self != file.st_uid && self != folder.st_uid) return false;
    // An immutable or append-only file may not be replaced, not even by root.
    UniqueDescriptor opened(
        openat(place.folder.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    int flags = 0;
    if (opened.get() >= 0 && ioctl(opened.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
      return false;
    }
    return true;
  }

 private:
  // Network and FUSE mounts report only what this machine did to them, never the remote host's
  // writes: a watch there would never wake anybody.
  static bool Remote(decltype(statfs::f_type) type) {
    switch (static_cast<unsigned long>(type)) {
      case 0x65735546UL:  // FUSE (sshfs, smbnetfs)
      case 0x6969UL:      // NFS
      case 0x517BUL:      // SMB
      case 0xFF534D42UL:  // CIFS
      case 0xFE534D42UL:  // SMB2
      case 0x564C:        // NCP
      case 0x73757245UL:  // Coda
      case 0x6B414653UL:  // AFS
        return true;
    }
    return false;
  }

  struct Mount {
    std::string point;  // empty when none is known
    std::string type;
  };

  // The mount that holds the real path, from the mount table: the longest mount point that is
  // the path or a folder above it. Read with plain reads: the program carries no streams.
  static Mount MountOf(const std::string& real) {
    Mount best;
    UniqueDescriptor table(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    if (table.get() < 0) return best;
    std::string text;
    char buffer[8192];
    for (ssize_t got; (got = read(table.get(), buffer, sizeof buffer)) != 0;) {
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return best;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    // ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE OPTIONS
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::vector<std::string> fields;
      for (std::size_t from = at; from < end;) {
        std::size_t space = text.find(' ', from);
        if (space == std::string::npos || space > end) space = end;
        fields.push_back(text.substr(from, space - from));
        from = space + 1;
      }
      at = end + 1;
      std::size_t dash = 6;
      while (dash < fields.size() && fields[dash] != "-") ++dash;
      if (fields.size() < 5 || dash + 1 >= fields.size()) continue;
      const std::string point = UnescapeMountField(fields[4]);
      const bool above = point == "/" || real == point || real.rfind(point + "/", 0) == 0;
      if (above && point.size() >= best.point.size()) best = Mount{point, fields[dash + 1]};
    }
    return best;
  }

  // The mount table writes a space, tab, newline and backslash in a name as \ and three octal
  // digits.
  static std::string UnescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
      if (field[i] == '\\' && i + 3 < field.size()) {
        out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
        i += 3;
      } else {
        out += field[i];
      }
    }
    return out;
  }

  ArrivalWatch watch_;
};

}  // namespace

std::unique_ptr<TextFileReader> MakeTextFileReader(int fd, std::size_t chunk) {
  return std::make_unique<PosixTextFileReader>(UniqueDescriptor(fd), chunk);
}

void RenameByLinking(const std::string& from, const std::string& to) {
  if (const int error = LinkThenUnlink(Reach(from), Reach(to))) RaiseError(error);
}

void RenameAfterCheck(const std::string& from, const std::string& to) { RenameCheckingTarget(Reach(from), Reach(to)); }

System& RealSystem() {
  static PosixSystem real;
  return real;
}

}  // namespace trackrelay
