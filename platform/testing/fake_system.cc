#include "platform/testing/fake_system.h"

#include <algorithm>

#include "platform/chunked_reader.h"
#include "platform/failure.h"
#include "platform/text_rules.h"

namespace trackrelay {
namespace {

const char* const kOperationNames[] = {
    "WriteTextFile",   "WriteTextFileLike", "OpenTextFile",    "OpenTextFileLocked", "ReadLine",
    "RenameNoReplace", "RenameReplacing",   "RemoveFile",      "LookUpPlainFile",    "ClaimForProcess",
    "Sleep",           "WatchFolder",       "WatchForArrival", "AwaitArrival",       "DescribeDrive",
    "DescribeEntry",   "ListFolder",        "MayReplace",      "FlushFile",          "FlushFolder",
};
static_assert(sizeof kOperationNames / sizeof kOperationNames[0] == FakeSystem::kOperationCount);

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

}  // namespace

// Reads a copy of the file as it was at the open, split into lines by the real readers' own code.
class FakeSystem::Reader : public ChunkedTextFileReader {
 public:
  Reader(std::shared_ptr<FakeSystem*> owner, std::string path, const std::string& bytes, bool locked)
      : ChunkedTextFileReader(0, bytes), owner_(std::move(owner)), path_(std::move(path)), locked_(locked) {
    ++(*owner_)->open_readers;
    if (locked_) ++(*owner_)->held_locks;
  }
  ~Reader() override {
    if (*owner_ == nullptr) return;
    --(*owner_)->open_readers;
    if (locked_) --(*owner_)->held_locks;
  }

  // ReadLine comes here too, once a line.
  bool ReadLinePart(std::string& part, std::size_t limit) override {
    if (*owner_ == nullptr) RaiseFailure(kDeviceIoError);
    (*owner_)->Enter(kReadLine, path_);
    return ChunkedTextFileReader::ReadLinePart(part, limit);
  }

 private:
  // Every byte came with the open.
  std::size_t ReadChunk(char*, std::size_t) override { return 0; }

  std::shared_ptr<FakeSystem*> owner_;
  std::string path_;
  bool locked_;
};

FakeSystem::FakeSystem() : previous_(&CurrentSystem()) { SubstituteSystem(this); }

FakeSystem::~FakeSystem() {
  *self_ = nullptr;
  SubstituteSystem(previous_);
}

void FakeSystem::Fail(Operation operation, int number, int after, int times) {
  injections_[operation] = Injection{number, after, times, false};
}

void FakeSystem::FailAsStale(Operation operation, int after, int times) {
  injections_[operation] = Injection{kDeviceIoError, after, times, true};
}

void FakeSystem::Enter(Operation operation, const std::string& logged) {
  ++call_counts_[operation];
  clock_ms += cost_ms[operation];
  calls.push_back(std::string(kOperationNames[operation]) + " " + logged);
  Injection& injection = injections_[operation];
  if (injection.times == 0) return;
  if (injection.after > 0) {
    --injection.after;
    return;
  }
  if (injection.times > 0) --injection.times;
  if (injection.stale) throw StaleFileFailure();
  throw Failure(injection.number);
}

std::map<std::string, std::string>::iterator FakeSystem::Find(const std::string& path) {
  auto exact = files.find(path);
  if (exact != files.end() || !case_insensitive) return exact;
  for (auto it = files.begin(); it != files.end(); ++it) {
    if (SameTextIgnoringCase(it->first, path)) return it;
  }
  return files.end();
}

void FakeSystem::RequireFolder(const std::string& path) const {
  if (missing_folders.count(FolderOf(path)) != 0) RaiseFailure(kPathNotFound);
}

void FakeSystem::StoreFile(Operation operation, const std::string& path, std::string_view text) {
  Enter(operation, path);
  RequireFolder(path);
  auto it = Find(path);
  if (it != files.end()) {
    it->second = std::string(text);
    modified_ms[it->first] = clock_ms;
  } else {
    files[path] = std::string(text);
    modified_ms[path] = clock_ms;
  }
}

void FakeSystem::WriteTextFile(const std::string& path, std::string_view text, Readers) {
  StoreFile(kWriteTextFile, path, text);
}

void FakeSystem::WriteTextFileLike(const std::string& path, std::string_view text, const std::string& like_path) {
  StoreFile(kWriteTextFileLike, path, text);
  written_like[path] = like_path;
}

std::unique_ptr<TextFileReader> FakeSystem::OpenReader(Operation operation, const std::string& path,
                                                       const std::string& logged) {
  Enter(operation, logged);
  RequireFolder(path);
  auto it = Find(path);
  if (it == files.end()) RaiseFailure(kFileNotFound);
  return std::make_unique<Reader>(self_, path, it->second, operation == kOpenTextFileLocked);
}

std::unique_ptr<TextFileReader> FakeSystem::OpenTextFile(const std::string& path) {
  return OpenReader(kOpenTextFile, path, path);
}

std::unique_ptr<TextFileReader> FakeSystem::OpenTextFileLocked(const std::string& path, const std::string& lock_path,
                                                               std::int64_t lock_slot, std::uint64_t longest_wait_ms) {
  lock_waits.push_back(longest_wait_ms);
  if (foreign_locks.count({lock_path, lock_slot}) != 0) {
    Enter(kOpenTextFileLocked, path + " " + lock_path + " " + std::to_string(lock_slot));
    clock_ms += longest_wait_ms;
    throw LockTimeoutFailure();
  }
  return OpenReader(kOpenTextFileLocked, path, path + " " + lock_path + " " + std::to_string(lock_slot));
}

void FakeSystem::MoveFile(const std::string& from, const std::string& to, bool replacing) {
  RequireFolder(from);
  RequireFolder(to);
  auto source = Find(from);
  if (source == files.end()) RaiseFailure(kFileNotFound);
  if (!replacing && Find(to) != files.end()) RaiseFailure(kFileAlreadyExists);
  std::string bytes = std::move(source->second);
  const std::int64_t stamp = modified_ms[source->first];
  files.erase(source);
  auto target = Find(to);
  if (target != files.end()) files.erase(target);
  files[to] = std::move(bytes);
  modified_ms[to] = stamp;
}

void FakeSystem::RenameNoReplace(const std::string& from, const std::string& to) {
  Enter(kRenameNoReplace, from + " " + to);
  MoveFile(from, to, false);
  if (to.rfind("r:\\fromnt\\", 0) != 0) return;
  const std::string number = to.substr(10, to.size() - 10 - 4);
  if (take_published) {
    taken[to] = std::move(files[to]);
    files.erase(to);
    modified_ms.erase(to);
    const std::string answer = "r:\\tont\\" + number + ".out";
    if (auto page = answers.find(answer); page != answers.end()) {
      files[answer] = page->second;
      modified_ms[answer] = static_cast<std::int64_t>(clock_ms);
    }
  }
  if (on_publish) on_publish();
}

RenameWay FakeSystem::RenameNoReplaceTellingHow(const std::string& from, const std::string& to) {
  RenameNoReplace(from, to);
  return rename_way;
}

void FakeSystem::RenameReplacing(const std::string& from, const std::string& to) {
  Enter(kRenameReplacing, from + " " + to);
  MoveFile(from, to, true);
}

void FakeSystem::FlushFile(const std::string& path) {
  Enter(kFlushFile, path);
  RequireFolder(path);
  if (Find(path) == files.end()) RaiseFailure(kFileNotFound);
}

bool FakeSystem::FlushFolder(const std::string& path) {
  Enter(kFlushFolder, path);
  RequireFolder(path);
  return folders_flush;
}

void FakeSystem::RemoveFile(const std::string& path) {
  Enter(kRemoveFile, path);
  RequireFolder(path);
  auto it = Find(path);
  if (it == files.end()) RaiseFailure(kFileNotFound);
  files.erase(it);
}

std::string FakeSystem::LookUpPlainFile(const std::string& path) {
  Enter(kLookUpPlainFile, path);
  if (missing_folders.count(FolderOf(path)) != 0) return "";
  auto it = Find(path);
  if (it == files.end()) return "";
  return it->first.substr(FolderOf(it->first).size());
}

void FakeSystem::ClaimForProcess(const std::string& path, int slot) {
  Enter(kClaimForProcess, path + " " + std::to_string(slot));
  RequireFolder(path);
  if (foreign_claims.count({path, slot}) != 0) RaiseFailure(kFileAlreadyExists);
  claims.insert({path, slot});
}

void FakeSystem::Sleep(DWORD milliseconds) {
  Enter(kSleep, std::to_string(milliseconds));
  sleeps.push_back(milliseconds);
  clock_ms += milliseconds;
  if (on_sleep) on_sleep();
}

void FakeSystem::WatchFolder(const std::string& path) { Enter(kWatchFolder, path); }

void FakeSystem::WatchForArrival(const std::string& path) { Enter(kWatchForArrival, path); }

DWORD FakeSystem::AwaitArrival(const std::string& path, DWORD milliseconds) {
  Enter(kAwaitArrival, path + " " + std::to_string(milliseconds));
  const DWORD left = arrival ? std::min(arrival(milliseconds), milliseconds) : 0;
  sleeps.push_back(milliseconds - left);
  clock_ms += milliseconds - left;
  if (on_sleep) on_sleep();
  return left;
}

DriveFacts FakeSystem::DescribeDrive(char letter) {
  Enter(kDescribeDrive, std::string(1, letter));
  DriveFacts facts;
  facts.present = missing_drives.count(letter) == 0;
  facts.network = network_drives;
  facts.description = std::string("the fake drive ") + letter + ":";
  return facts;
}

EntryFacts FakeSystem::DescribeEntry(const std::string& path) {
  Enter(kDescribeEntry, path);
  EntryFacts facts;
  auto file = Find(path);
  auto kind = kinds.find(path);
  const std::string last = path.substr(FolderOf(path).size());
  if (file != files.end()) {
    facts.kind = EntryKind::kPlainFile;
    facts.modified_ms = modified_ms[file->first];
  } else if (kind != kinds.end()) {
    facts.kind = kind->second;
  } else if (missing_folders.count(FolderOf(path)) != 0) {
    facts.kind = EntryKind::kUnreachable;
  } else if (missing_folders.count(path + "\\") != 0 || last.find('.') != std::string::npos) {
    facts.kind = EntryKind::kMissing;
  } else {
    facts.kind = EntryKind::kFolder;
  }
  return facts;
}

std::vector<std::string> FakeSystem::ListFolder(const std::string& path) {
  Enter(kListFolder, path);
  RequireFolder(path);
  const std::string folder = FolderOf(path);
  std::vector<std::string> names;
  for (const auto& [file, bytes] : files) {
    if (case_insensitive ? SameTextIgnoringCase(FolderOf(file), folder) : FolderOf(file) == folder) {
      names.push_back(file.substr(folder.size()));
    }
  }
  for (const auto& [entry, kind] : kinds) {
    if (FolderOf(entry) == folder && kind != EntryKind::kMissing) names.push_back(entry.substr(folder.size()));
  }
  return names;
}

bool FakeSystem::MayReplace(const std::string& path) {
  Enter(kMayReplace, path);
  return missing_folders.count(FolderOf(path)) == 0 && Find(path) != files.end() && unreplaceable.count(path) == 0;
}

}  // namespace trackrelay
