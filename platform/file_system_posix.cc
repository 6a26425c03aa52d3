// The files and the clock on POSIX, the one real System: new files written and flushed, the
// three renames that never replace, the line reader, and the look-ups, on the walk's places.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/arrival_watch.h"
#include "platform/byte_lock.h"
#include "platform/chunked_reader.h"
#include "platform/confinement.h"
#include "platform/drive_walk.h"
#include "platform/failure.h"
#include "platform/file_system_common.h"
#include "platform/file_system_posix.h"
#include "platform/kernel32.h"
#include "platform/mount_facts.h"
#include "platform/os_error.h"
#include "platform/system.h"
#include "platform/text_rules.h"
#include "platform/unique_handle.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace trackrelay {
namespace {

// Removes the name at the place, retried while a share says busy; 0 or the error.
int RemoveName(const Place& place) {
  return RetryWhileBusy([&] { return unlinkat(place.folder.get(), place.name.c_str(), 0); });
}

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
    if (!TakeLockWithin(lock.get(), lock_slot, longest_wait_ms)) throw LockTimeoutFailure();
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
    if (!TryLockByte(fd.get(), slot)) RaiseFailure(kFileAlreadyExists);
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
    // Network and FUSE mounts report only what this machine did to them, never the remote host's
    // writes: a watch there would never wake anybody.
    if (OnRemoteMount(place.folder.get())) return;
    watch_.Set(path.substr(0, path.find_last_of("\\/") + 1), WatchedFolder{place.folder.get()});
  }

  void WatchForArrival(const std::string& path) override { watch_.Choose(path); }

  DWORD AwaitArrival(const std::string& path, DWORD milliseconds) override {
    return watch_.Await(path, milliseconds);
  }

  DriveFacts DescribeDrive(char letter) override { return FactsOfDrive(letter); }

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
