// The files and the clock on Windows: the Win32 file API on paths as they stand, GetLastError
// mapped onto the failure numbers, and the program's one real System.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "platform/chunked_reader.h"
#include "platform/failure.h"
#include "platform/file_system_win32.h"
#include "platform/platform.h"

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

namespace {

[[noreturn]] void RaiseLastError() { RaiseFailure(FailureNumberOfError(GetLastError())); }

// Closes the handle, keeping the error that made the caller give up.
[[noreturn]] void CloseAndRaise(HANDLE file) {
  DWORD error = GetLastError();
  CloseHandle(file);
  RaiseFailure(FailureNumberOfError(error));
}

// Others may read, write, rename and delete a file while this program has it open: the remote
// host removes and rewrites its files on its own schedule, and must never be refused for it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// ReadFile and WriteFile take a DWORD count.
constexpr DWORD kLargestTransfer = 1u << 30;

class WindowsTextFileReader : public ChunkedTextFileReader {
 public:
  explicit WindowsTextFileReader(HANDLE file) : ChunkedTextFileReader(kTextReadChunk), file_(file) {}
  // Serves bytes already read; holds the lock, if any, until it goes.
  WindowsTextFileReader(const std::string& contents, HANDLE lock)
      : ChunkedTextFileReader(0, contents), lock_(lock) {}
  ~WindowsTextFileReader() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    if (lock_ != nullptr) {
      ReleaseMutex(lock_);
      CloseHandle(lock_);
    }
  }
  WindowsTextFileReader(const WindowsTextFileReader&) = delete;
  WindowsTextFileReader& operator=(const WindowsTextFileReader&) = delete;

 private:
  std::size_t ReadChunk(char* buffer, std::size_t size) override {
    if (file_ == INVALID_HANDLE_VALUE) return 0;
    DWORD got = 0;
    if (!ReadFile(file_, buffer, static_cast<DWORD>(size), &got, nullptr)) {
      // A pipe or a network file may report its end this way.
      if (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE) got = 0;
      else RaiseLastError();
    }
    return got;
  }

  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE lock_ = nullptr;
};

HANDLE OpenForReading(const std::string& path) {
  // A folder cannot be opened this way: Windows answers access denied, as for a text file
  // that may not be read.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) RaiseLastError();
  return file;
}

std::string ReadWholeFile(HANDLE file) {
  std::string contents;
  char buffer[kTextReadChunk];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      CloseAndRaise(file);
    }
    if (got == 0) break;
    contents.append(buffer, got);
  }
  return contents;
}

void WriteWholeFile(const std::string& path, std::string_view text, bool durably) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) RaiseLastError();
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD part = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, kLargestTransfer));
    DWORD put = 0;
    if (!WriteFile(file, text.data() + done, part, &put, nullptr)) CloseAndRaise(file);
    if (put == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      CloseAndRaise(file);
    }
    done += put;
  }
  if (durably && !FlushFileBuffers(file)) CloseAndRaise(file);
  // A network redirector may report a failed write only here.
  if (!CloseHandle(file)) RaiseLastError();
}

// The lock that guards a file: a mutex named after its full path, upper-cased since Windows
// paths ignore case. A lock taken on the file itself would need a handle on it, and Windows
// refuses to rename anything over a file that is open, so the holder could never replace the
// file it guards; the mutex leaves the file closed while it is held and waited for. Windows
// releases it when its holder ends, however it ends.
std::string MutexNameFor(const std::string& path, const char* kind) {
  char full[MAX_PATH];
  DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (length == 0) RaiseLastError();
  if (length >= sizeof full) RaiseFailure(kPathNotFound);
  std::string name = std::string("Local\\trackrelay-") + kind + ":";
  for (DWORD i = 0; i < length; ++i) {
    char c = full[i];
    // A backslash would be taken for a namespace separator.
    name += c == '\\' ? '/' : (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return name;
}

HANDLE LockNamedAfter(const std::string& path) {
  HANDLE lock = CreateMutexA(nullptr, FALSE, MutexNameFor(path, "lock").c_str());
  if (lock == nullptr) RaiseLastError();
  DWORD waited = WaitForSingleObject(lock, INFINITE);
  // An abandoned mutex is held all the same; its holder died, and the file it guards is only
  // ever replaced whole.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(lock);
    RaiseFailure(kDeviceIoError);
  }
  return lock;
}

class WindowsSystem : public System {
 public:
  WindowsSystem() {
    // A drive that is not ready must fail the request, not open a dialog on the server's
    // desktop that nobody will ever answer.
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  }

  void WriteTextFile(const std::string& path, std::string_view text) override {
    WriteWholeFile(MapDrivePath(path), text, false);
  }

  void WriteTextFileDurably(const std::string& path, std::string_view text, const std::string&) override {
    WriteWholeFile(MapDrivePath(path), text, true);
  }

  std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) override {
    return std::make_unique<WindowsTextFileReader>(OpenForReading(MapDrivePath(path)));
  }

  std::unique_ptr<TextFileReader> OpenTextFileLocked(const std::string& path) override {
    const std::string local = MapDrivePath(path);
    HANDLE lock = LockNamedAfter(local);
    // Opened only once the lock is held, so it is always the file now at the path; read whole
    // and closed again, so that the holder may rename a new file over it.
    std::string contents;
    try {
      HANDLE file = OpenForReading(local);
      contents = ReadWholeFile(file);
      CloseHandle(file);
    } catch (...) {
      ReleaseMutex(lock);
      CloseHandle(lock);
      throw;
    }
    return std::make_unique<WindowsTextFileReader>(std::move(contents), lock);
  }

  void RenameNoReplace(const std::string& from, const std::string& to) override {
    if (!MoveFileA(MapDrivePath(from).c_str(), MapDrivePath(to).c_str())) RaiseLastError();
  }

  void RenameReplacing(const std::string& from, const std::string& to) override {
    // Write-through: the rename is on disk when it returns, so that a power cut cannot bring
    // back the old file.
    if (!MoveFileExA(MapDrivePath(from).c_str(), MapDrivePath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      RaiseLastError();
    }
  }

  void RemoveFile(const std::string& path) override {
    if (!DeleteFileA(MapDrivePath(path).c_str())) RaiseLastError();
  }

  std::string LookUpPlainFile(const std::string& path) override {
    const std::string local = MapDrivePath(path);
    // The lookup takes a pattern; a path with wildcards names no one file.
    if (local.find_first_of("*?") != std::string::npos) return "";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(local.c_str(), &found);
    // Any error means the file cannot be taken now: a drive that is away for a moment does
    // not end the wait.
    if (search == INVALID_HANDLE_VALUE) return "";
    FindClose(search);
    if ((found.dwFileAttributes & kNotPlain) != 0) return "";
    return found.cFileName;
  }

  void ClaimForProcess(const std::string& path, int slot) override {
    // A mutex named after the claims file's full path and the slot, taken without waiting and
    // never released: Windows releases it when the process ends, however it ends. A mutex whose
    // holder died is abandoned, and taken all the same.
    const std::string name = MutexNameFor(MapDrivePath(path), "claim") + ":" + std::to_string(slot);
    HANDLE claim = CreateMutexA(nullptr, FALSE, name.c_str());
    if (claim == nullptr) RaiseLastError();
    const DWORD waited = WaitForSingleObject(claim, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return;  // held until the process ends
    CloseHandle(claim);
    RaiseFailure(waited == WAIT_TIMEOUT ? kFileAlreadyExists : kDeviceIoError);
  }

  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }

  // No watch yet on Windows: the wait is the poll interval's.
  void WatchForArrival(const std::string&) override {}
  DWORD AwaitArrival(const std::string&, DWORD milliseconds) override {
    ::Sleep(milliseconds);
    return 0;
  }
};

System* substitute_system = nullptr;

}  // namespace

System& CurrentSystem() {
  static WindowsSystem real;
  return substitute_system != nullptr ? *substitute_system : real;
}

void SubstituteSystem(System* system) { substitute_system = system; }

}  // namespace trackrelay
