#include "platform/testing/scratch_drive.h"

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "platform/drive_walk.h"
#include "platform/kernel32.h"
#include "platform/system.h"
#include "platform/text_rules.h"
#include "platform/unique_handle.h"

namespace trackrelay {

namespace fs = std::filesystem;

bool ByteIsFree(const std::string& local, std::int64_t slot) {
  HANDLE file = CreateFileA(local.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(slot) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(slot) >> 32);
  const bool free = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
  if (free) UnlockFileEx(file, 0, 1, 0, &at);
  CloseHandle(file);
  return free;
}

HeldByte::HeldByte(const std::string& local, std::int64_t slot)
    : handle_(reinterpret_cast<std::intptr_t>(CreateFileA(local.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))) {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  if (file == INVALID_HANDLE_VALUE) return;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(slot) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(slot) >> 32);
  held_ = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
}

HeldByte::~HeldByte() {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

namespace {

// The real System with every drive path led into the scratch drive first.
class MappedSystem : public System {
 public:
  MappedSystem(System& real, const ScratchDrive& drive) : real_(real), drive_(drive) {}

  void WriteTextFile(const std::string& path, std::string_view text, Readers readers) override {
    real_.WriteTextFile(At(path), text, readers);
  }
  void WriteTextFileLike(const std::string& path, std::string_view text, const std::string& like_path) override {
    real_.WriteTextFileLike(At(path), text, like_path.empty() ? like_path : At(like_path));
  }
  std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) override { return real_.OpenTextFile(At(path)); }
  std::unique_ptr<TextFileReader> OpenTextFileLocked(const std::string& path, const std::string& lock_path,
                                                     std::int64_t lock_slot, std::uint64_t longest_wait_ms) override {
    return real_.OpenTextFileLocked(At(path), At(lock_path), lock_slot, longest_wait_ms);
  }
  void RenameNoReplace(const std::string& from, const std::string& to) override { real_.RenameNoReplace(At(from), At(to)); }
  void RenameReplacing(const std::string& from, const std::string& to) override { real_.RenameReplacing(At(from), At(to)); }
  void RemoveFile(const std::string& path) override { real_.RemoveFile(At(path)); }
  void FlushFile(const std::string& path) override { real_.FlushFile(At(path)); }
  bool FlushFolder(const std::string& path) override { return real_.FlushFolder(At(path)); }
  std::string LookUpPlainFile(const std::string& path) override { return real_.LookUpPlainFile(At(path)); }
  void ClaimForProcess(const std::string& path, int slot) override { real_.ClaimForProcess(At(path), slot); }
  void Sleep(DWORD milliseconds) override { real_.Sleep(milliseconds); }
  std::uint64_t MonotonicMilliseconds() override { return real_.MonotonicMilliseconds(); }
  void WatchFolder(const std::string& path) override { real_.WatchFolder(At(path)); }
  void WatchForArrival(const std::string& path) override { real_.WatchForArrival(At(path)); }
  DWORD AwaitArrival(const std::string& path, DWORD milliseconds) override {
    return real_.AwaitArrival(At(path), milliseconds);
  }
  // A letter names a drive of the machine, which no folder stands for.
  DriveFacts DescribeDrive(char letter) override { return real_.DescribeDrive(letter); }
  EntryFacts DescribeEntry(const std::string& path) override { return real_.DescribeEntry(At(path)); }
  std::vector<std::string> ListFolder(const std::string& path) override { return real_.ListFolder(At(path)); }
  bool MayReplace(const std::string& path) override { return real_.MayReplace(At(path)); }
  RenameWay RenameNoReplaceTellingHow(const std::string& from, const std::string& to) override {
    return real_.RenameNoReplaceTellingHow(At(from), At(to));
  }

 private:
  std::string At(const std::string& path) const { return drive_.Local(path); }

  System& real_;
  const ScratchDrive& drive_;
};

// Where the folder at path really is (FinalPathOf); empty when it cannot tell.
std::string FinalFolderPath(const std::string& path) {
  const UniqueHandle folder(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return folder.valid() ? FinalPathOf(folder.get()) : "";
}

// Removes the entry at path and, for a folder, all it holds, trying each entry once. A file
// whose claims the process still holds cannot go until it ends; std::filesystem::remove_all
// tries such a file again thousands of times, and under Wine every try leaves the prefix's
// server a descriptor that it keeps while the file is locked, until the server runs out of them
// and every other test of the prefix fails. A folder is emptied only while it is what its name
// says (final, where its parent's final path and its name lead): a link in the drive is removed
// as itself, never what it leads to.
void RemoveOnce(const std::string& path, const std::string& final) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  // Read-only, hidden and system entries would refuse their removal.
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileA(path.c_str());
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && SameTextIgnoringCase(FinalFolderPath(path), final)) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const UniqueFind search(FindFirstFileA((path + "\\*").c_str(), &found));
    if (search.valid()) {
      do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
      } while (FindNextFileA(search.get(), &found));
    }
    for (const std::string& name : names) RemoveOnce(path + "\\" + name, final + "\\" + name);
  }
  if (!RemoveDirectoryA(path.c_str())) DeleteFileA(path.c_str());
}

// The entry itself is taken where its folder leads, so that a link is never followed even here.
void RemoveOnce(const std::string& path) {
  const std::size_t last = path.find_last_of('\\');
  RemoveOnce(path, FinalFolderPath(path.substr(0, last)) + path.substr(last));
}

bool IsDrivePath(const std::string& path) {
  return path.size() >= 2 && path[1] == ':' && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
         (path.size() == 2 || path[2] == '\\' || path[2] == '/');
}

}  // namespace

// The System the drive put in front, and the one it stands in front of.
struct ScratchDrive::Mapping {
  System* previous = nullptr;
  std::unique_ptr<MappedSystem> mapped;
};

ScratchDrive::ScratchDrive() : mapping_(std::make_unique<Mapping>()) {
  static std::atomic<int> count{0};
  char temp[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof temp, temp);
  if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary folder");
  // A folder left by an earlier process of the same id (Wine hands out the same few ids again)
  // whose claims it could not remove while they were held: the next name.
  do {
    root_ = std::string(temp) + "trackrelay-drive-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(count++);
  } while (!CreateDirectoryA(root_.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
  if (GetFileAttributesA(root_.c_str()) == INVALID_FILE_ATTRIBUTES) throw std::runtime_error("cannot make " + root_);
  for (const char* folder : {"c:\\woe", "r:\\fromnt", "r:\\tont"}) MakeFolder(folder);
  mapping_->previous = &CurrentSystem();
  mapping_->mapped = std::make_unique<MappedSystem>(*mapping_->previous, *this);
  SubstituteSystem(mapping_->mapped.get());
}

ScratchDrive::~ScratchDrive() {
  SubstituteSystem(mapping_->previous);
  // An arrival watch armed on a folder of the drive holds that folder open, which Wine then
  // refuses to remove: the watch is set up on nothing first, which ends it.
  mapping_->previous->WatchFolder(root_ + "\\gone\\");
  RemoveOnce(root_);
}

std::string ScratchDrive::Local(const std::string& drive_path) const {
  if (!IsDrivePath(drive_path)) return drive_path;
  const char letter = static_cast<char>(drive_path[0] | 0x20);
  return root_ + "\\" + letter + drive_path.substr(2);
}

bool ScratchDrive::Exists(const std::string& drive_path) const {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(Local(drive_path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

void ScratchDrive::MakeFolder(const std::string& drive_path) const { fs::create_directories(Local(drive_path)); }

void ScratchDrive::Remove(const std::string& drive_path) const {
  const std::string local = Local(drive_path);
  RemoveOnce(local);
  if (GetFileAttributesA(local.c_str()) != INVALID_FILE_ATTRIBUTES) throw std::runtime_error("cannot remove " + local);
}

void ScratchDrive::Rename(const std::string& from, const std::string& to) const {
  if (!MoveFileExA(Local(from).c_str(), Local(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    throw std::runtime_error("cannot rename " + Local(from));
  }
}

void ScratchDrive::HardLink(const std::string& existing, const std::string& link) const {
  if (!CreateHardLinkA(Local(link).c_str(), Local(existing).c_str(), nullptr)) {
    throw std::runtime_error("cannot link " + Local(link));
  }
}

void ScratchDrive::MakeReadOnly(const std::string& drive_path) const {
  if (!SetFileAttributesA(Local(drive_path).c_str(), FILE_ATTRIBUTE_READONLY)) {
    throw std::runtime_error("cannot make " + Local(drive_path) + " read-only");
  }
}

void ScratchDrive::SetModified(const std::string& drive_path, std::int64_t ms) const {
  HANDLE file = CreateFileA(Local(drive_path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + Local(drive_path));
  // In 100 ns from 1601.
  const std::uint64_t ticks = (static_cast<std::uint64_t>(ms) + 11644473600000ULL) * 10000;
  FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const bool set = SetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  if (!set) throw std::runtime_error("cannot set the time of " + Local(drive_path));
}

}  // namespace trackrelay
