// The files and the clock on POSIX: drive paths mapped below the drive root, errno mapped onto
// the failure numbers, and the program's one real System.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "platform/chunked_reader.h"
#include "platform/failure.h"
#include "platform/file_system_posix.h"
#include "platform/platform.h"

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

std::string FolderOf(const std::string& mapped) {
  std::size_t slash = mapped.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return mapped.substr(0, slash);
}

bool FolderExists(const std::string& mapped) {
  struct stat st;
  return stat(FolderOf(mapped).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ENOENT does not say whether the file or its folder is missing; the failure numbers do.
[[noreturn]] void RaiseFileError(int error, const std::string& mapped) {
  if (error == ENOENT && !FolderExists(mapped)) RaiseFailure(kPathNotFound);
  RaiseFailure(FailureNumberOfError(error));
}

[[noreturn]] void RaiseRenameError(int error, const std::string& from, const std::string& to) {
  if (error == ENOENT && (!FolderExists(from) || !FolderExists(to))) RaiseFailure(kPathNotFound);
  RaiseFailure(FailureNumberOfError(error));
}

// A rename is only on disk once its folder is; a counter whose replacement is lost to a power
// cut would hand out the same numbers again. Nothing more can be done when this fails, and the
// rename itself has happened, so it is not reported.
void SyncFolderOf(const std::string& mapped) {
  int fd = open(FolderOf(mapped).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

class PosixTextFileReader : public ChunkedTextFileReader {
 public:
  // also_held, when not -1, is another descriptor that goes with this one: its lock is held as
  // long as the reader lives.
  PosixTextFileReader(int fd, std::size_t chunk_size, int also_held = -1)
      : ChunkedTextFileReader(chunk_size), fd_(fd), also_held_(also_held) {}
  ~PosixTextFileReader() override {
    close(fd_);
    if (also_held_ >= 0) close(also_held_);
  }
  PosixTextFileReader(const PosixTextFileReader&) = delete;
  PosixTextFileReader& operator=(const PosixTextFileReader&) = delete;

 private:
  std::size_t ReadChunk(char* buffer, std::size_t size) override {
    ssize_t got;
    do {
      got = read(fd_, buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) RaiseFailure(FailureNumberOfError(errno));
    return static_cast<std::size_t>(got);
  }

  int fd_;
  int also_held_;
};

int OpenForReading(const std::string& mapped) {
  int fd = open(mapped.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) RaiseFileError(errno, mapped);
  struct stat st;
  int error = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (error != 0) {
    // A folder is not a text file; Windows refuses to open one with access denied.
    close(fd);
    RaiseFailure(FailureNumberOfError(error));
  }
  return fd;
}

void WriteWholeFile(const std::string& path, std::string_view text, bool durably) {
  const std::string mapped = MapDrivePath(path);
  int fd = open(mapped.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) RaiseFileError(errno, mapped);
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      int error = put < 0 ? errno : ENOSPC;
      close(fd);
      RaiseFailure(FailureNumberOfError(error));
    }
    done += static_cast<std::size_t>(put);
  }
  if (durably && fsync(fd) != 0) {
    int error = errno;
    close(fd);
    RaiseFailure(FailureNumberOfError(error));
  }
  // Network file systems may report a failed write only here. EINTR leaves the descriptor
  // closed on Linux, and the data was handed over already.
  if (close(fd) != 0 && errno != EINTR) RaiseFailure(FailureNumberOfError(errno));
}

class PosixSystem : public System {
 public:
  void WriteTextFile(const std::string& path, std::string_view text) override {
    WriteWholeFile(path, text, false);
  }

  void WriteTextFileDurably(const std::string& path, std::string_view text) override {
    WriteWholeFile(path, text, true);
  }

  std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) override {
    return MakeTextFileReader(OpenForReading(MapDrivePath(path)));
  }

  std::unique_ptr<TextFileReader> OpenTextFileLocked(const std::string& path) override {
    const std::string mapped = MapDrivePath(path);
    // Openers queue on the lock of the file's folder before they lock the file. Waiting on the
    // file itself would leave every waiter holding the file that the holder then replaces: each
    // replacement would wake them all to find their file gone and open the new one, a round for
    // every waiter at every allocation, which under a burst of requests costs more than the
    // requests. A folder that cannot be opened leaves the work to the file's own lock.
    struct Queue {
      int fd = -1;
      ~Queue() {
        if (fd >= 0) close(fd);
      }
    } queue;
    queue.fd = open(FolderOf(mapped).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (queue.fd >= 0 && flock(queue.fd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      close(queue.fd);
      queue.fd = -1;
    }
    for (;;) {
      int fd = OpenForReading(mapped);
      // flock rather than fcntl: an fcntl lock would vanish when any other descriptor of the
      // same file in this process is closed.
      while (flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        int error = errno;
        close(fd);
        RaiseFailure(FailureNumberOfError(error));
      }
      // Whoever held the lock may have renamed a new file over the path; the lock then guards
      // a file nobody else will open, and the new one has to be locked instead.
      struct stat held, current;
      if (fstat(fd, &held) != 0) {
        int error = errno;
        close(fd);
        RaiseFailure(FailureNumberOfError(error));
      }
      if (stat(mapped.c_str(), &current) == 0) {
        if (current.st_dev == held.st_dev && current.st_ino == held.st_ino) {
          auto reader = std::make_unique<PosixTextFileReader>(fd, kTextReadChunk, queue.fd);
          queue.fd = -1;
          return reader;
        }
      } else if (errno != ENOENT) {
        int error = errno;
        close(fd);
        RaiseFileError(error, mapped);
      }
      close(fd);  // replaced or removed: start over, and fail at the open if it is gone
    }
  }

  void RenameNoReplace(const std::string& from, const std::string& to) override {
#ifdef SYS_renameat2
    const std::string mapped_from = MapDrivePath(from);
    const std::string mapped_to = MapDrivePath(to);
    if (syscall(SYS_renameat2, AT_FDCWD, mapped_from.c_str(), AT_FDCWD, mapped_to.c_str(), RENAME_NOREPLACE) == 0) {
      return;
    }
    int error = errno;
    // Old kernels and some file systems (older SMB and NFS clients among them) refuse the
    // flag; any other error is the rename's own.
    if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP) RaiseRenameError(error, mapped_from, mapped_to);
#endif
    RenameByLinking(from, to);
  }

  void RenameReplacing(const std::string& from, const std::string& to) override {
    const std::string mapped_from = MapDrivePath(from);
    const std::string mapped_to = MapDrivePath(to);
    if (rename(mapped_from.c_str(), mapped_to.c_str()) != 0) RaiseRenameError(errno, mapped_from, mapped_to);
    SyncFolderOf(mapped_to);
  }

  void RemoveFile(const std::string& path) override {
    const std::string mapped = MapDrivePath(path);
    if (unlink(mapped.c_str()) != 0) RaiseFileError(errno, mapped);
  }

  std::string LookUpPlainFile(const std::string& path) override {
    const std::string mapped = MapDrivePath(path);
    // A miss, the common case while a request waits, costs this one call. Any error means the
    // file cannot be taken now: a drive that is away for a moment does not end the wait.
    struct stat st;
    if (stat(mapped.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
    const std::size_t slash = mapped.rfind('/');
    const std::string name = slash == std::string::npos ? mapped : mapped.substr(slash + 1);
    if (name.empty() || name[0] == '.') return "";  // hidden
    // On a case-insensitive mount the stat also finds 42.OUT for 42.out; the folder holds
    // the name as it is stored. Reading a folder of thousands of files costs more than the
    // rest of the request, so it is read only when the folder may fold case: when the name
    // spelt in the other case finds a file too. When that spelling finds nothing while the
    // name itself still finds the same file before and after, the folder tells case apart and
    // the stat found the stored name.
    std::string other_case = mapped;
    for (std::size_t k = mapped.size() - name.size(); k < other_case.size(); ++k) {
      char& c = other_case[k];
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = static_cast<char>(c ^ 0x20);
    }
    if (other_case == mapped) return name;  // no letters: there is no other spelling
    struct stat other, again;
    if (stat(other_case.c_str(), &other) != 0 && errno == ENOENT) {
      if (stat(mapped.c_str(), &again) != 0 || !S_ISREG(again.st_mode)) return "";
      if (again.st_dev == st.st_dev && again.st_ino == st.st_ino) return name;
    }
    DIR* folder = opendir(FolderOf(mapped).c_str());
    if (folder == nullptr) return "";
    std::string stored;
    while (const dirent* entry = readdir(folder)) {
      if (name == entry->d_name) {
        stored = name;
        break;
      }
      if (stored.empty() && strcasecmp(name.c_str(), entry->d_name) == 0) stored = entry->d_name;
    }
    closedir(folder);
    return stored;
  }

  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
};

System* substitute_system = nullptr;

}  // namespace

std::unique_ptr<TextFileReader> MakeTextFileReader(int fd, std::size_t chunk) {
  return std::make_unique<PosixTextFileReader>(fd, chunk);
}

void RenameByLinking(const std::string& from, const std::string& to) {
  const std::string mapped_from = MapDrivePath(from);
  const std::string mapped_to = MapDrivePath(to);
  if (link(mapped_from.c_str(), mapped_to.c_str()) != 0) RaiseRenameError(errno, mapped_from, mapped_to);
  if (unlink(mapped_from.c_str()) != 0) RaiseFileError(errno, mapped_from);
}

System& CurrentSystem() {
  static PosixSystem real;
  return substitute_system != nullptr ? *substitute_system : real;
}

void SubstituteSystem(System* system) { substitute_system = system; }

}  // namespace trackrelay
