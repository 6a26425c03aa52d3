// The files and the clock on Windows, the one real System: new files written and flushed with
// their access lists, the renames through a handle, the line reader, and the look-ups.
#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/arrival_watch.h"
#include "platform/byte_lock.h"
#include "platform/chunked_reader.h"
#include "platform/drive_path.h"
#include "platform/drive_walk.h"
#include "platform/failure.h"
#include "platform/file_system_common.h"
#include "platform/file_system_win32.h"
#include "platform/kernel32.h"
#include "platform/mount_facts.h"
#include "platform/os_error.h"
#include "platform/system.h"
#include "platform/text_rules.h"
#include "platform/unique_handle.h"

namespace trackrelay {
namespace {

// The bench's build without flushes skips them, to show what they cost beside the same program
// with them; every other build flushes.
constexpr bool WithoutFlushes() {
#ifdef TRACKRELAY_BENCH_WITHOUT_FLUSHES
  return true;
#else
  return false;
#endif
}

// ReadFile and WriteFile take a DWORD count.
constexpr DWORD kLargestTransfer = 1u << 30;

// Removes the entry at the place through a handle on it: the name goes, never a file that a
// link leads to. An entry that cannot be removed without reaching through a link, and a pipe or
// device, are refused (access denied). Busy shares are retried. Returns 0 or the error.
DWORD RemoveEntry(const Place& place) {
  return RetryWhileBusy([&]() -> DWORD {
    UniqueHandle entry;
    if (const DWORD error = OpenEntry(place, entry)) return error;
    // Beneath Wine a Unix FIFO or device can be opened but never removed through Windows.
    if (GetFileType(entry.get()) != FILE_TYPE_DISK || !IsEntryItself(place, entry.get())) return ERROR_ACCESS_DENIED;
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ErrorOf(SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition, sizeof disposition));
  });
}

// Renames the plain file at from to the name at to through a handle on it, never over an
// existing entry. Busy shares are retried. Returns 0 or the error.
DWORD RenameEntryNoReplace(const Place& from, const Place& to) {
  // The new name as a full NT path, which every layer takes as it stands.
  char full[4 * MAX_PATH];
  const DWORD length = GetFullPathNameA(to.Path().c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
  std::wstring name = L"\\??\\";
  const int wide = MultiByteToWideChar(CP_ACP, 0, full, static_cast<int>(length), nullptr, 0);
  if (wide <= 0) return GetLastError();
  const std::size_t start = name.size();
  name.resize(start + static_cast<std::size_t>(wide));
  MultiByteToWideChar(CP_ACP, 0, full, static_cast<int>(length), name.data() + start, wide);
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + (name.size() + 1) * sizeof(WCHAR));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
  std::memcpy(rename->FileName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  // A rename may be reported as failed after it has happened: a redirector, or Wine, looks the
  // new name up once more after renaming, and the remote host may have taken the file by then.
  // Nobody but this request touches its temporary file, so once a rename was tried, the file
  // being gone means the request is out; failing it would leave its answer to the next request
  // of the number.
  bool tried = false;
  const DWORD error = RetryWhileBusy([&]() -> DWORD {
    UniqueHandle entry;
    if (const DWORD opened = OpenEntry(from, entry)) return tried && opened == ERROR_FILE_NOT_FOUND ? 0 : opened;
    if (!IsPlainFileAt(from, entry.get())) return ERROR_ACCESS_DENIED;
    tried = true;
    return ErrorOf(SetFileInformationByHandle(entry.get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size())));
  });
  if (error != 0 && tried && error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS &&
      GetFileAttributesA(from.Path().c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
    return 0;
  }
  return error;
}

class WindowsTextFileReader : public ChunkedTextFileReader {
 public:
  explicit WindowsTextFileReader(UniqueHandle file)
      : ChunkedTextFileReader(kTextReadChunk), file_(std::move(file)) {}
  // Serves bytes already read; holds the lock on byte lock_slot of the lock file, and this
  // machine's turn at it, until it goes.
  WindowsTextFileReader(const std::string& contents, UniqueHandle lock, std::int64_t lock_slot, MachineTurn turn)
      : ChunkedTextFileReader(0, contents), turn_(std::move(turn)), lock_(std::move(lock)), lock_slot_(lock_slot) {}
  ~WindowsTextFileReader() override {
    file_.Reset();
    if (lock_.valid()) {
      // Let go at once: a lock left to the close is released whenever Windows gets to it.
      OVERLAPPED at = ByteAt(lock_slot_);
      UnlockFileEx(lock_.get(), 0, 1, 0, &at);
    }
  }
  WindowsTextFileReader(const WindowsTextFileReader&) = delete;
  WindowsTextFileReader& operator=(const WindowsTextFileReader&) = delete;

 private:
  std::size_t ReadChunk(char* buffer, std::size_t size) override {
    if (!file_.valid()) return 0;
    DWORD got = 0;
    if (!ReadFile(file_.get(), buffer, static_cast<DWORD>(size), &got, nullptr)) {
      // A pipe or a network file may report its end this way.
      if (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE) got = 0;
      else RaiseLastError();
    }
    return got;
  }

  UniqueHandle file_;
  // The lock is let go first (above), then the turn: the next process of this machine then finds
  // the lock free.
  MachineTurn turn_;
  UniqueHandle lock_;
  std::int64_t lock_slot_ = 0;
};

std::string ReadWholeFile(HANDLE file) {
  std::string contents;
  char buffer[kTextReadChunk];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      RaiseLastError();
    }
    if (got == 0) break;
    contents.append(buffer, got);
  }
  return contents;
}

// A security descriptor that LocalFree releases.
struct LocalSecurity {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ~LocalSecurity() {
    if (descriptor != nullptr) LocalFree(descriptor);
  }
};

bool SameAcl(const ACL* a, const ACL* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->AclSize == b->AclSize && std::memcmp(a, b, a->AclSize) == 0;
}

// Gives the new file the access rights of the plain file at like_path, and its owner and group
// where this process may set them, so that the file can replace that one without widening who
// may read or change it. No file at like_path: the new file keeps what its folder hands down.
// The rights are copied only when they differ from those the new file got: a file that carries
// only what its folder hands down (the usual counter) needs nothing, and a copy is not always
// exact where Windows rights are mapped onto another system's file modes (Wine).
void TakeSecurityOf(const std::string& like_path, HANDLE file) {
  Place like;
  if (TryReach(like_path, like) != 0) return;
  UniqueHandle source(CreateFileA(like.Path().c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!source.valid() || !IsPlainFileAt(like, source.get())) return;
  LocalSecurity wanted, got;
  PSID owner = nullptr, group = nullptr;
  PACL wanted_dacl = nullptr, got_dacl = nullptr;
  DWORD error = GetSecurityInfo(source.get(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &owner, &group, &wanted_dacl, nullptr, &wanted.descriptor);
  if (error != ERROR_SUCCESS) RaiseError(error);
  error = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &got_dacl, nullptr,
                          &got.descriptor);
  if (error != ERROR_SUCCESS) RaiseError(error);
  SECURITY_DESCRIPTOR_CONTROL wanted_control = 0, got_control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(wanted.descriptor, &wanted_control, &revision) ||
      !GetSecurityDescriptorControl(got.descriptor, &got_control, &revision)) {
    RaiseLastError();
  }
  const bool is_protected = (wanted_control & SE_DACL_PROTECTED) != 0;
  if (!SameAcl(wanted_dacl, got_dacl) || is_protected != ((got_control & SE_DACL_PROTECTED) != 0)) {
    // The list as it stands, entries handed down by the folder included: both files live in
    // the same folder. Set on the handle as a whole, not merged with the folder's entries again.
    SECURITY_DESCRIPTOR copy;
    if (!InitializeSecurityDescriptor(&copy, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&copy, wanted_dacl != nullptr, wanted_dacl, FALSE) ||
        !SetSecurityDescriptorControl(&copy, SE_DACL_PROTECTED, is_protected ? SE_DACL_PROTECTED : 0) ||
        !SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, &copy)) {
      RaiseLastError();
    }
  }
  // Only a process with the privilege to restore files may give a file away; any other keeps it
  // as its own, and may replace the old file with it all the same.
  SECURITY_DESCRIPTOR owned;
  if (InitializeSecurityDescriptor(&owned, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorOwner(&owned, owner, FALSE) && SetSecurityDescriptorGroup(&owned, group, FALSE)) {
    SetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, &owned);
  }
}

// Whether two descriptions are of one file: the same volume and the same file index.
bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Removes the file that a write made and could not close: only while the name still leads to
// that very file, never to another that somebody put in its place meanwhile. Nothing more can be
// done when this fails; the write's failure is what counts.
void TakeBack(const Place& place, const BY_HANDLE_FILE_INFORMATION& made) {
  UniqueHandle entry;
  BY_HANDLE_FILE_INFORMATION now;
  if (OpenEntry(place, entry) != 0 || !IsPlainFileAt(place, entry.get(), &now) || !SameFile(now, made)) return;
  FILE_DISPOSITION_INFO disposition{TRUE};
  SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

// Writes text to a new file at the place. What stood there is removed first: writing through an
// existing name could reach a file that a link, a hard link or another request put there. When
// any step after the create fails, the new file is taken back.
void WriteNewFile(const Place& place, std::string_view text, const std::string& like_path) {
  const std::string path = place.Path();
  const DWORD removed = RemoveEntry(place);
  if (removed != 0 && removed != ERROR_FILE_NOT_FOUND) RaiseError(removed);
  const DWORD access = GENERIC_WRITE | DELETE | (like_path.empty() ? 0 : READ_CONTROL | WRITE_DAC | WRITE_OWNER);
  UniqueHandle file(CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    // Some file systems refuse WRITE_OWNER to whoever may not give files away.
    if (like_path.empty() || GetLastError() != ERROR_ACCESS_DENIED) RaiseLastError();
    file =
        UniqueHandle(CreateFileA(path.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC, FILE_SHARE_READ,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) RaiseLastError();
  }
  BY_HANDLE_FILE_INFORMATION made{};
  try {
    // The folder was checked on the way; a file that was created elsewhere all the same is
    // taken back at once.
    if (!IsPlainFileAt(place, file.get(), &made)) RaiseFailure(kPathNotFound);
    if (!like_path.empty()) TakeSecurityOf(like_path, file.get());
    std::size_t done = 0;
    while (done < text.size()) {
      DWORD part = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, kLargestTransfer));
      DWORD put = 0;
      if (!WriteFile(file.get(), text.data() + done, part, &put, nullptr)) RaiseLastError();
      if (put == 0) RaiseError(ERROR_WRITE_FAULT);
      done += put;
    }
    // A network redirector, and Wine on a FUSE mount, may write behind: a write that the share
    // then refuses (its disk full) is reported to nobody, and the close succeeds all the same, so
    // that a broken request would be published as complete. Flushed, the bytes are on the share
    // or the write fails here; for the counter's replacement it also puts them on the disk.
    if (!WithoutFlushes() && !FlushFileBuffers(file.get())) RaiseLastError();
  } catch (...) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
    throw;
  }
  // A network redirector may report a failed write only here; the handle is gone by then, so
  // the file is taken back by its name, once it proves to be the one made here.
  if (!file.Close()) {
    const DWORD error = GetLastError();
    TakeBack(place, made);
    RaiseError(error);
  }
}

// The stored name of the entry of the folder that matches name in any case: the exact one when
// there is one, else the first other spelling; empty when there is none or the folder cannot be
// read. A search for the name itself would hand back the name as asked on a share that ignores
// case, whatever is stored; a wildcard search lists the entries as they are. The name's last
// character stands for any one, so the pattern cannot miss the name in any spelling.
std::string StoredSpelling(const Place& place, WIN32_FIND_DATAA& entry) {
  std::string pattern = place.Path();
  pattern.back() = '?';
  WIN32_FIND_DATAA found;
  const UniqueFind search(FindFirstFileA(pattern.c_str(), &found));
  if (!search.valid()) return "";
  StoredSpellingSearch spelling(place.name);
  do {
    if (spelling.Offer(found.cFileName)) entry = found;
    if (spelling.Settled()) break;
  } while (FindNextFileA(search.get(), &found));
  return spelling.stored();
}

class WindowsSystem : public System {
 public:
  WindowsSystem() {
    // A drive that is not ready must fail the request, not open a dialog on the server's
    // desktop that nobody will ever answer.
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  }

  void WriteTextFile(const std::string& path, std::string_view text, Readers) override {
    // The new file takes its folder's access list: that list, the administrator's, says who
    // reads the files of the exchange's folders (windows.md).
    WriteNewFile(Reach(path), text, "");
  }

  void WriteTextFileLike(const std::string& path, std::string_view text, const std::string& like_path) override {
    WriteNewFile(Reach(path), text, like_path);
  }

  void FlushFile(const std::string& path) override {
    // A flush needs write access; the file may be another party's, so everything is shared.
    const Place place = Reach(path);
    UniqueHandle file(CreateFileA(place.Path().c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) RaiseLastError();
    if (!IsPlainFileAt(place, file.get())) RaiseFailure(kPermissionDenied);
    if (!WithoutFlushes() && !FlushFileBuffers(file.get())) RaiseLastError();
  }

  bool FlushFolder(const std::string& path) override {
    // A folder's handle flushes its entries on NTFS and ReFS, and under Wine its fsync; a file
    // system that cannot flush a folder (FAT, some redirectors) says so with its error.
    const Place place = Reach(StandInFileOf(path));
    UniqueHandle folder(CreateFileA(place.folder.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder.valid()) RaiseLastError();
    if (WithoutFlushes() || FlushFileBuffers(folder.get())) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER) {
      return false;
    }
    RaiseError(error);
  }

  std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) override {
    return std::make_unique<WindowsTextFileReader>(OpenRegular(Reach(path)));
  }

  std::unique_ptr<TextFileReader> OpenTextFileLocked(const std::string& path, const std::string& lock_path,
                                                     std::int64_t lock_slot, std::uint64_t longest_wait_ms) override {
    // The lock is on a byte of a file that is never replaced, not on the file to read: Windows
    // refuses to rename anything over a file that is open, so the holder could never replace a
    // file it held open to lock. A file server enforces byte-range locks for all its clients.
    UniqueHandle lock = OpenLockFile(Reach(lock_path));
    MachineTurn turn;
    WaitForByteLock(lock.get(), lock_slot, longest_wait_ms, turn);
    // Opened only once the lock is held, so it is always the file now at the path; read whole
    // and closed again, so that the holder may rename a new file over it.
    std::string contents = ReadWholeFile(OpenRegular(Reach(path)).get());
    return std::make_unique<WindowsTextFileReader>(std::move(contents), std::move(lock), lock_slot, std::move(turn));
  }

  void RenameNoReplace(const std::string& from, const std::string& to) override {
    const Place source = Reach(from), target = Reach(to);
    if (const DWORD error = RenameEntryNoReplace(source, target)) RaiseError(error);
  }

  // Windows renames without replacing in one step on every file system.
  RenameWay RenameNoReplaceTellingHow(const std::string& from, const std::string& to) override {
    RenameNoReplace(from, to);
    return RenameWay::kNoReplaceRename;
  }

  void RenameReplacing(const std::string& from, const std::string& to) override {
    const Place source = Reach(from), target = Reach(to);
    const std::string from_path = source.Path(), to_path = target.Path();
    // Write-through: the rename is on disk when it returns, so that a power cut cannot bring
    // back the old file; it is what a flush of the folder is on POSIX. Only a plain file replaces
    // the target, never what a link leads to.
    const DWORD error = RetryWhileBusy([&]() -> DWORD {
      {
        UniqueHandle entry;
        if (const DWORD opened = OpenEntry(source, entry)) return opened;
        if (!IsPlainFileAt(source, entry.get())) return ERROR_ACCESS_DENIED;
      }
      return ErrorOf(
          MoveFileExA(from_path.c_str(), to_path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    });
    if (error != 0) RaiseError(error);
  }

  void RemoveFile(const std::string& path) override {
    if (const DWORD error = RemoveEntry(Reach(path))) RaiseError(error);
  }

  std::string LookUpPlainFile(const std::string& path) override {
    const std::string local = MapDrivePath(path);
    // The lookup takes a pattern; a path with wildcards names no one file.
    if (local.find_first_of("*?") != std::string::npos) return "";
    // A miss, the common case while a request waits, costs one search for the name itself.
    // Only a hit walks the drive's folders and lists the matching entries to learn how the
    // name is stored. Any error means the file cannot be taken now: a drive that is away for a
    // moment does not end the wait.
    WIN32_FIND_DATAA entry;
    if (!UniqueFind(FindFirstFileA(local.c_str(), &entry)).valid()) return "";
    Place place;
    if (TryReach(local, place) != 0) return "";
    const std::string stored = StoredSpelling(place, entry);
    if (stored.empty() || (entry.dwFileAttributes & kNotPlain) != 0) return "";
    // The listing cannot tell a pipe or a link that the file system follows from a file; the
    // file opened as itself can, without reading it. A file that may not even be opened so is
    // left to the open that follows the look, which checks all the same and fails.
    place.name = stored;
    UniqueHandle file(CreateFileA(place.Path().c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return GetLastError() == ERROR_ACCESS_DENIED ? stored : "";
    return IsPlainFileAt(place, file.get()) ? stored : "";
  }

  void ClaimForProcess(const std::string& path, int slot) override {
    // The claim: one byte of the file a slot, locked without waiting and never unlocked; the
    // handle stays open until the process ends, and Windows then releases the lock however the
    // process ended. A file server enforces it for all its clients.
    UniqueHandle file = OpenLockFile(Reach(path));
    OVERLAPPED at = ByteAt(slot);
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      const DWORD error = GetLastError();
      RaiseFailure(error == ERROR_LOCK_VIOLATION ? kFileAlreadyExists : FailureNumberOfError(error));
    }
    file.Release();  // held until the process ends
  }

  void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }

  DriveFacts DescribeDrive(char letter) override { return FactsOfDrive(letter); }

  EntryFacts DescribeEntry(const std::string& path) override {
    EntryFacts facts;
    Place place;
    if (TryReach(path, place) != 0) {
      facts.kind = EntryKind::kUnreachable;
      return facts;
    }
    UniqueHandle entry(CreateFileA(place.Path().c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!entry.valid()) {
      facts.kind = GetLastError() == ERROR_FILE_NOT_FOUND ? EntryKind::kMissing : EntryKind::kUnreachable;
      return facts;
    }
    if (!GetFileInformationByHandle(entry.get(), &info)) {
      facts.kind = EntryKind::kUnreachable;
      return facts;
    }
    const DWORD attributes = info.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !IsEntryItself(place, entry.get())) {
      facts.kind = EntryKind::kLink;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      facts.kind = EntryKind::kFolder;
    } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0 || GetFileType(entry.get()) != FILE_TYPE_DISK) {
      facts.kind = EntryKind::kOther;
    } else {
      facts.kind = EntryKind::kPlainFile;
    }
    // FILETIME counts 100 ns from 1601.
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    facts.modified_ms = static_cast<std::int64_t>(ticks / 10000) - 11644473600000LL;
    return facts;
  }

  std::vector<std::string> ListFolder(const std::string& path) override {
    const Place place = Reach(StandInFileOf(path));
    WIN32_FIND_DATAA found;
    const UniqueFind search(FindFirstFileA((place.folder + "\\*").c_str(), &found));
    if (!search.valid()) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) return {};
      RaiseLastError();
    }
    std::vector<std::string> names;
    do {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search.get(), &found));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) RaiseError(error);
    return names;
  }

  bool MayReplace(const std::string& path) override {
    Place place;
    if (TryReach(path, place) != 0) return false;
    // A rename over a file needs the right to delete it, which the file or its folder grants.
    UniqueHandle entry;
    if (OpenEntry(place, entry) != 0 || !IsPlainFileAt(place, entry.get())) return false;
    // And Windows refuses to replace a read-only file.
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(entry.get(), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
  }

  std::uint64_t MonotonicMilliseconds() override { return GetTickCount64(); }

  void WatchFolder(const std::string& path) override {
    // A watch set up before belongs to an earlier folder.
    watch_.Disarm();
    const std::string local = MapDrivePath(StandInFileOf(path));
    const std::size_t last = local.find_last_of("\\/");
    if (last == std::string::npos) return;
    WatchedFolder folder{local.substr(0, last)};
    if (folder.path.empty() || folder.path.back() == ':') folder.path += '\\';  // the root of a drive
    watch_.Set(path.substr(0, path.find_last_of("\\/") + 1), folder);
  }

  void WatchForArrival(const std::string& path) override { watch_.Choose(path); }

  DWORD AwaitArrival(const std::string& path, DWORD milliseconds) override {
    return watch_.Await(path, milliseconds);
  }

 private:
  ArrivalWatch watch_;
};

}  // namespace

System& RealSystem() {
  static WindowsSystem real;
  return real;
}

}  // namespace trackrelay
