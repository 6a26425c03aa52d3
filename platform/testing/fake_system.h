// An in-memory System for in-process tests: files held as text by drive path, a Sleep that only
// records, a clock that calls move on, a log of every call, failures injected per operation.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/system.h"

namespace trackrelay {

// While a FakeSystem exists, CurrentSystem() is that fake; its destructor puts back the System that
// stood before it (the real one, a scratch drive's, or another fake). A reader that outlives its
// fake (a response file a failure left open) may still be destroyed; reading from it then fails
// with 57.
//
//   FakeSystem fake;
//   fake.files["c:\\woe\\track.txt"] = " 41 \r\n";
//   fake.on_sleep = [&] { if (fake.sleeps.size() == 10) fake.files["r:\\tont\\41.out"] = "<p>\r"; };
//   fake.Fail(FakeSystem::kRemoveFile, kPermissionDenied);
//   ServeTrackingRequest();
//   EXPECT_EQ(fake.sleeps.size(), 10u);
class FakeSystem : public System {
 public:
  enum Operation {
    kWriteTextFile,
    kWriteTextFileLike,
    kOpenTextFile,
    kOpenTextFileLocked,
    kReadLine,  // TextFileReader::ReadLine, or ReadLinePart for each part, of a reader from either open
    kRenameNoReplace,
    kRenameReplacing,
    kRemoveFile,
    kLookUpPlainFile,
    kClaimForProcess,
    kSleep,
    kWatchFolder,
    kWatchForArrival,
    kAwaitArrival,
    kDescribeDrive,
    kDescribeEntry,
    kListFolder,
    kMayReplace,
    kFlushFile,
    kFlushFolder,
    kOperationCount
  };

  FakeSystem();
  ~FakeSystem() override;
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;

  // The files, by drive path as the code under test names them ("r:\\tont\\41.out"), and their
  // bytes. Folders need not be made: every folder exists unless it is in missing_folders.
  std::map<std::string, std::string> files;
  // Folders as the text of a path up to and including its last backslash ("r:\\tont\\").
  // Files there cannot be opened, written, renamed or removed (76), and lookups find nothing.
  std::set<std::string> missing_folders;
  // Paths match ignoring ASCII case, as on Windows and SMB mounts; a lookup then yields the
  // name as stored, and writing keeps the stored name.
  bool case_insensitive = false;

  // Claims as (claims file, slot). claims holds those this process took; foreign_claims those
  // that other processes hold, which a ClaimForProcess of the same slot fails on with 58.
  std::set<std::pair<std::string, int>> claims;
  std::set<std::pair<std::string, int>> foreign_claims;
  // Locks as (lock file, slot) that another process holds and never lets go: an
  // OpenTextFileLocked of one waits its whole longest_wait_ms (clock_ms moves on by it) and then
  // fails with 70. lock_waits holds the longest_wait_ms of every OpenTextFileLocked, in order.
  std::set<std::pair<std::string, std::int64_t>> foreign_locks;
  std::vector<std::uint64_t> lock_waits;
  // The like_path of each WriteTextFileLike, by the path written.
  std::map<std::string, std::string> written_like;

  // Every Sleep's milliseconds, and the milliseconds each AwaitArrival waited, in order.
  // on_sleep, when set, runs after each one is recorded, so a test can let files appear while
  // the code under test waits.
  std::vector<DWORD> sleeps;
  std::function<void()> on_sleep;
  // When set, decides each AwaitArrival of the given milliseconds: the milliseconds left when an
  // arrival woke it, or 0 when none did. Without it no arrival ever wakes a wait.
  std::function<DWORD(DWORD)> arrival;

  // The remote host, as far as the exchange shows it. With take_published, a request file
  // published (renamed to r:\fromnt\N.DAT) is taken at once, out of files into taken; a page in
  // answers for r:\tont\N.out is then written there, as the answer made at that moment; and
  // on_publish, when set, runs last.
  bool take_published = false;
  std::map<std::string, std::string> taken;
  std::map<std::string, std::string> answers;
  std::function<void()> on_publish;

  // What the installation check's probes see. Every drive is there, on this machine's own disk,
  // unless it is among missing_drives or network_drives is set. A path is a plain file when it
  // is in files, else what kinds says, else missing when its folder is among missing_folders
  // (unreachable) or it is (missing), else a folder when its last name holds no "." and missing
  // when it does. Files are stamped with clock_ms when written; modified_ms holds the stamps.
  std::set<char> missing_drives;
  bool network_drives = false;
  std::map<std::string, EntryKind> kinds;
  std::map<std::string, std::int64_t> modified_ms;
  // Files that MayReplace refuses, and the way RenameNoReplaceTellingHow reports.
  std::set<std::string> unreplaceable;
  RenameWay rename_way = RenameWay::kNoReplaceRename;
  // What FlushFolder answers: false as on a file system that cannot flush a folder.
  bool folders_flush = true;
  // The clock that MonotonicMilliseconds reads, in milliseconds. Sleep and AwaitArrival move it
  // on by the time they waited, and every call of an operation by that operation's cost_ms, so
  // that a test can make a call take time, as one that blocks on a network share does.
  std::uint64_t clock_ms = 0;
  std::array<DWORD, kOperationCount> cost_ms{};

  // One line per call, in order: the operation's name and its paths, for example
  // "RenameNoReplace r:\fromnt\t41.DAT r:\fromnt\41.DAT", "ReadLine r:\tont\41.out", "Sleep 100".
  std::vector<std::string> calls;
  // Readers handed out and not yet destroyed, and how many of them hold the lock. The lock's
  // file and byte are in the logged call ("OpenTextFileLocked PATH LOCK_PATH SLOT").
  int open_readers = 0;
  int held_locks = 0;

  // From now on, the operation succeeds `after` more times and then fails with the failure
  // number, without any effect, for `times` calls (all of them when negative); then it works again.
  void Fail(Operation operation, int number, int after = 0, int times = -1);
  // The same with StaleFileFailure (57), as for a file replaced through another client of a share.
  void FailAsStale(Operation operation, int after = 0, int times = -1);
  // How often the operation was called, failed calls included.
  int CallCount(Operation operation) const { return call_counts_[operation]; }

  void WriteTextFile(const std::string& path, std::string_view text, Readers readers) override;
  void WriteTextFileLike(const std::string& path, std::string_view text, const std::string& like_path) override;
  std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) override;
  std::unique_ptr<TextFileReader> OpenTextFileLocked(const std::string& path, const std::string& lock_path,
                                                     std::int64_t lock_slot, std::uint64_t longest_wait_ms) override;
  void RenameNoReplace(const std::string& from, const std::string& to) override;
  void RenameReplacing(const std::string& from, const std::string& to) override;
  void FlushFile(const std::string& path) override;
  bool FlushFolder(const std::string& path) override;
  void RemoveFile(const std::string& path) override;
  std::string LookUpPlainFile(const std::string& path) override;
  void ClaimForProcess(const std::string& path, int slot) override;
  void Sleep(DWORD milliseconds) override;
  // Reads clock_ms; not an operation: neither counted, logged nor failed.
  std::uint64_t MonotonicMilliseconds() override { return clock_ms; }
  void WatchFolder(const std::string& path) override;
  void WatchForArrival(const std::string& path) override;
  DWORD AwaitArrival(const std::string& path, DWORD milliseconds) override;
  DriveFacts DescribeDrive(char letter) override;
  EntryFacts DescribeEntry(const std::string& path) override;
  std::vector<std::string> ListFolder(const std::string& path) override;
  bool MayReplace(const std::string& path) override;
  RenameWay RenameNoReplaceTellingHow(const std::string& from, const std::string& to) override;

 private:
  class Reader;
  struct Injection {
    int number = 0;
    int after = 0;
    int times = 0;  // 0: no failure pending; negative: for good
    bool stale = false;
  };

  // Counts and logs the call, then raises its injected failure when one is due.
  void Enter(Operation operation, const std::string& logged);
  void StoreFile(Operation operation, const std::string& path, std::string_view text);
  std::unique_ptr<TextFileReader> OpenReader(Operation operation, const std::string& path,
                                             const std::string& logged);
  // The key of files that path names, or files.end().
  std::map<std::string, std::string>::iterator Find(const std::string& path);
  // Raises 76 when the folder of path is missing.
  void RequireFolder(const std::string& path) const;
  // Both renames: the file and its time stamp to the name to; an existing target is replaced,
  // or refused with 58 when not replacing.
  void MoveFile(const std::string& from, const std::string& to, bool replacing);

  // Readers reach their fake through this; it is cleared when the fake goes.
  std::shared_ptr<FakeSystem*> self_ = std::make_shared<FakeSystem*>(this);
  System* previous_ = nullptr;
  std::array<int, kOperationCount> call_counts_{};
  std::array<Injection, kOperationCount> injections_{};
};

}  // namespace trackrelay
