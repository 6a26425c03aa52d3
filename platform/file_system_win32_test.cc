#include "platform/file_system_win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/failure.h"
#include "platform/platform.h"

namespace trackrelay {
namespace {

namespace fs = std::filesystem;

// The failure number the action raised, or 0 when it raised none.
int FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return failure.number();
  }
  return 0;
}

std::vector<std::string> AllLines(TextFileReader& reader) {
  std::vector<std::string> lines;
  while (!reader.AtEnd()) lines.push_back(reader.ReadLine());
  return lines;
}

// A fresh folder below the temporary folder, removed with all it holds. Paths are Windows
// paths, which the System takes as they stand.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> count{0};
    char temp[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary folder");
    path_ = std::string(temp) + "trackrelay-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(count++);
    if (!CreateDirectoryA(path_.c_str(), nullptr)) throw std::runtime_error("cannot make " + path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    // Read-only, hidden and system files would refuse their removal.
    for (const auto& entry : fs::recursive_directory_iterator(path_, ignored)) {
      SetFileAttributesA(entry.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(*this / name, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + name);
  }
  // The file's bytes; "<missing>" when there is no such file.
  std::string Read(const std::string& name) const {
    std::ifstream in(*this / name, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }
  void MakeFolder(const std::string& name) const { fs::create_directories(*this / name); }

 private:
  std::string path_;
};

TEST(WindowsErrorTest, MapsGetLastErrorCodesOntoFailureNumbers) {
  const std::pair<DWORD, int> cases[] = {
      {ERROR_FILE_NOT_FOUND, kFileNotFound},      {ERROR_PATH_NOT_FOUND, kPathNotFound},
      {ERROR_FILE_EXISTS, kFileAlreadyExists},    {ERROR_ALREADY_EXISTS, kFileAlreadyExists},
      {ERROR_ACCESS_DENIED, kPermissionDenied},   {ERROR_SHARING_VIOLATION, kPermissionDenied},
      {ERROR_NOT_READY, kDiskNotReady},           {ERROR_HANDLE_EOF, kInputPastEnd},
      {ERROR_INVALID_PARAMETER, kDeviceIoError},  {ERROR_DISK_FULL, kDeviceIoError},
      {ERROR_BAD_NETPATH, kDeviceIoError},        {ERROR_SUCCESS, kDeviceIoError},
  };
  for (const auto& [error, number] : cases) EXPECT_EQ(FailureNumberOfError(error), number) << error;
}

TEST(WindowsSystemTest, PathsAreUsedAsTheyStand) {
  for (const char* path : {"c:\\woe\\track.txt", "r:\\tont\\", "relative\\x", ""}) EXPECT_EQ(MapDrivePath(path), path);
}

TEST(WindowsTextFileReaderTest, EndsLinesAtCrOrCrLfOnlyWithAndWithoutTheLock) {
  const std::string almost_a_read(kTextReadChunk - 1, 'x');
  const std::string three_reads(3 * kTextReadChunk, 'q');
  const struct {
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\rb", {"a", "b"}},
      {"a\nb\n", {"a\nb\n"}},
      {"\r\r\n", {"", ""}},
      {"\n\r\n", {"\n"}},
      {std::string("\0\x80\xff\x1a\r\n", 6), {std::string("\0\x80\xff\x1a", 4)}},  // ^Z is no end here
      // A CR LF pair split between two reads, a CR as the last byte, a line over several reads.
      {almost_a_read + "\r\ny", {almost_a_read, "y"}},
      {almost_a_read + "\r", {almost_a_read}},
      {three_reads + "\r\nz", {three_reads, "z"}},
  };
  TempFolder folder;
  System& system = CurrentSystem();
  for (const auto& c : cases) {
    folder.Write("1.out", c.bytes);
    for (bool locked : {false, true}) {
      std::unique_ptr<TextFileReader> reader =
          locked ? system.OpenTextFileLocked(folder / "1.out") : system.OpenTextFile(folder / "1.out");
      EXPECT_EQ(AllLines(*reader), c.lines) << "locked " << locked << ", bytes: " << c.bytes.substr(0, 20);
      EXPECT_EQ(FailureOf([&] { reader->ReadLine(); }), kInputPastEnd);
    }
  }
}

struct FailureCase {
  const char* what;
  std::function<void(System&, const TempFolder&)> action;
  int number;
};

TEST(WindowsSystemTest, MapsErrorsOntoFailureNumbers) {
  TempFolder folder;
  folder.Write("track.txt", " 1 \r\n");
  folder.Write("8.DAT", "earlier\r\n");
  folder.MakeFolder("sub");
  const FailureCase cases[] = {
      {"open missing file", [](System& s, const TempFolder& f) { s.OpenTextFile(f / "none.txt"); }, kFileNotFound},
      {"open in missing folder", [](System& s, const TempFolder& f) { s.OpenTextFile(f / "no\\x.txt"); }, kPathNotFound},
      {"open a folder", [](System& s, const TempFolder& f) { s.OpenTextFile(f / "sub"); }, kPermissionDenied},
      {"lock missing file", [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "none.txt"); }, kFileNotFound},
      {"lock in missing folder", [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "no\\x"); }, kPathNotFound},
      {"lock a folder", [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "sub"); }, kPermissionDenied},
      {"write in missing folder", [](System& s, const TempFolder& f) { s.WriteTextFile(f / "no\\x", "a"); }, kPathNotFound},
      {"write onto a folder", [](System& s, const TempFolder& f) { s.WriteTextFile(f / "sub", "a"); }, kPermissionDenied},
      {"durable write in missing folder",
       [](System& s, const TempFolder& f) { s.WriteTextFileDurably(f / "no\\x", "a", ""); }, kPathNotFound},
      {"rename missing file", [](System& s, const TempFolder& f) { s.RenameNoReplace(f / "no", f / "x"); }, kFileNotFound},
      {"rename to missing folder",
       [](System& s, const TempFolder& f) { s.RenameNoReplace(f / "track.txt", f / "no\\x"); }, kPathNotFound},
      {"rename onto a file",
       [](System& s, const TempFolder& f) { s.RenameNoReplace(f / "track.txt", f / "8.DAT"); }, kFileAlreadyExists},
      {"rename onto a folder",
       [](System& s, const TempFolder& f) { s.RenameNoReplace(f / "track.txt", f / "sub"); }, kFileAlreadyExists},
      {"replace from missing", [](System& s, const TempFolder& f) { s.RenameReplacing(f / "no", f / "x"); }, kFileNotFound},
      {"replace a folder",
       [](System& s, const TempFolder& f) { s.RenameReplacing(f / "track.txt", f / "sub"); }, kPermissionDenied},
      {"remove missing file", [](System& s, const TempFolder& f) { s.RemoveFile(f / "no"); }, kFileNotFound},
      {"remove in missing folder", [](System& s, const TempFolder& f) { s.RemoveFile(f / "no\\no"); }, kPathNotFound},
      {"remove a folder", [](System& s, const TempFolder& f) { s.RemoveFile(f / "sub"); }, kPermissionDenied},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(FailureOf([&] { c.action(CurrentSystem(), folder); }), c.number) << c.what;
  EXPECT_EQ(folder.Read("none.txt"), "<missing>") << "the lock must not create the file";
  EXPECT_EQ(folder.Read("track.txt"), " 1 \r\n");
  EXPECT_EQ(folder.Read("8.DAT"), "earlier\r\n") << "the rename never replaces";
}

// Wine keeps the read-only attribute in the file's Unix mode, which root may ignore.
bool ReadOnlyIsEnforced(const TempFolder& folder) {
  folder.Write("probe.txt", "");
  SetFileAttributesA((folder / "probe.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  HANDLE probe = CreateFileA((folder / "probe.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return true;
  CloseHandle(probe);
  return false;
}

TEST(WindowsSystemTest, ReadOnlyFilesAreKeptWithPermissionDenied) {
  TempFolder folder;
  if (!ReadOnlyIsEnforced(folder)) GTEST_SKIP() << "read-only files may be written here (Wine run as root)";
  folder.Write("ro.txt", "keep\r\n");
  folder.Write("new.txt", "new\r\n");
  ASSERT_TRUE(SetFileAttributesA((folder / "ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  const FailureCase cases[] = {
      {"truncate", [](System& s, const TempFolder& f) { s.WriteTextFile(f / "ro.txt", "a"); }, kPermissionDenied},
      {"durable truncate", [](System& s, const TempFolder& f) { s.WriteTextFileDurably(f / "ro.txt", "a", ""); },
       kPermissionDenied},
      {"replace", [](System& s, const TempFolder& f) { s.RenameReplacing(f / "new.txt", f / "ro.txt"); },
       kPermissionDenied},
      {"remove", [](System& s, const TempFolder& f) { s.RemoveFile(f / "ro.txt"); }, kPermissionDenied},
      {"read", [](System& s, const TempFolder& f) { s.OpenTextFile(f / "ro.txt"); }, 0},
      {"lock", [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "ro.txt"); }, 0},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(FailureOf([&] { c.action(CurrentSystem(), folder); }), c.number) << c.what;
  EXPECT_EQ(folder.Read("ro.txt"), "keep\r\n");
  EXPECT_EQ(folder.Read("new.txt"), "new\r\n");
}

TEST(WindowsSystemTest, WritesCreateOrTruncateAndKeepEveryByte) {
  TempFolder folder;
  const std::string bytes("a\0\r\n\x80\xff\x1a\n", 8);
  System& system = CurrentSystem();
  for (bool durably : {false, true}) {
    const std::string name = durably ? "durable.txt" : "plain.txt";
    auto write = [&](std::string_view text) {
      durably ? system.WriteTextFileDurably(folder / name, text, "") : system.WriteTextFile(folder / name, text);
    };
    write(std::string(100000, 'o'));
    write(bytes);
    EXPECT_EQ(folder.Read(name), bytes) << name;
    write("");
    EXPECT_EQ(folder.Read(name), "") << name;
  }
}

TEST(WindowsSystemTest, RenamesMoveTheFileAndOnlyTheReplacingOneReplaces) {
  TempFolder folder;
  System& system = CurrentSystem();
  folder.Write("t42.DAT", "TRACKNO=42\r\n");
  system.RenameNoReplace(folder / "t42.DAT", folder / "42.DAT");
  EXPECT_EQ(folder.Read("t42.DAT"), "<missing>");
  EXPECT_EQ(folder.Read("42.DAT"), "TRACKNO=42\r\n");

  folder.Write("t42.DAT", "again\r\n");
  EXPECT_EQ(FailureOf([&] { system.RenameNoReplace(folder / "t42.DAT", folder / "42.DAT"); }), kFileAlreadyExists);
  EXPECT_EQ(folder.Read("t42.DAT"), "again\r\n") << "the temporary file stays behind";
  EXPECT_EQ(folder.Read("42.DAT"), "TRACKNO=42\r\n");

  system.RenameReplacing(folder / "t42.DAT", folder / "42.DAT");
  EXPECT_EQ(folder.Read("t42.DAT"), "<missing>");
  EXPECT_EQ(folder.Read("42.DAT"), "again\r\n");
  system.RemoveFile(folder / "42.DAT");
  EXPECT_EQ(folder.Read("42.DAT"), "<missing>");
}

TEST(WindowsSystemTest, AFileBeingReadCanBeDeletedAndReadOnAfterwards) {
  // The remote host may remove or rewrite its response while the relay still reads it.
  TempFolder folder;
  folder.Write("5.out", "one\r\ntwo\r\n");
  std::unique_ptr<TextFileReader> reader = CurrentSystem().OpenTextFile(folder / "5.out");
  EXPECT_EQ(reader->ReadLine(), "one");
  CurrentSystem().RemoveFile(folder / "5.out");
  EXPECT_EQ(reader->ReadLine(), "two");
  EXPECT_TRUE(reader->AtEnd());
}

TEST(WindowsSystemTest, TheLockHolderReplacesTheFileItLocked) {
  TempFolder folder;
  folder.Write("track.txt", " 41 \r\n");
  System& system = CurrentSystem();
  std::unique_ptr<TextFileReader> locked = system.OpenTextFileLocked(folder / "track.txt");
  EXPECT_EQ(locked->ReadLine(), " 41 ");
  system.WriteTextFileDurably(folder / "track.new", " 42 \r\n", "");
  system.RenameReplacing(folder / "track.new", folder / "track.txt");
  locked.reset();
  EXPECT_EQ(folder.Read("track.txt"), " 42 \r\n");
  EXPECT_EQ(folder.Read("track.new"), "<missing>");
}

TEST(WindowsSystemTest, LockedOpensTakeTurnsAndEachSeesItsPredecessorsFile) {
  // Every holder reads the number, writes the next one and renames it over the file, as the
  // counter does; the lock must not hand the file out again before the rename is done.
  TempFolder folder;
  folder.Write("track.txt", "0\r\n");
  System& system = CurrentSystem();
  constexpr int kThreads = 4, kRounds = 25;
  std::atomic<int> holders{0}, most_holders{0}, failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string mine = folder / ("track." + std::to_string(t));
      for (int round = 0; round < kRounds; ++round) {
        try {
          std::unique_ptr<TextFileReader> locked = system.OpenTextFileLocked(folder / "track.txt");
          int now = ++holders;
          if (now > most_holders) most_holders = now;
          int n = std::stoi(locked->ReadLine());
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          system.WriteTextFileDurably(mine, std::to_string(n + 1) + "\r\n", "");
          system.RenameReplacing(mine, folder / "track.txt");
          --holders;
        } catch (const Failure& failure) {
          ++failures;
          ADD_FAILURE() << "failure " << failure.number();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(most_holders, 1);
  EXPECT_EQ(folder.Read("track.txt"), std::to_string(kThreads * kRounds) + "\r\n");
}

TEST(WindowsSystemTest, LockNamesIgnoreCaseAndTheWayThePathIsWritten) {
  // Two spellings of one file share one lock: the second waits until the first is gone.
  TempFolder folder;
  folder.Write("track.txt", "1\r\n");
  System& system = CurrentSystem();
  std::unique_ptr<TextFileReader> first = system.OpenTextFileLocked(folder / "track.txt");
  std::atomic<bool> second_held{false};
  std::string other_spelling = folder / "sub\\..\\TRACK.TXT";
  for (char& c : other_spelling) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  folder.MakeFolder("sub");
  std::thread second([&] {
    std::unique_ptr<TextFileReader> reader = system.OpenTextFileLocked(other_spelling);
    second_held = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(second_held);
  first.reset();
  second.join();
  EXPECT_TRUE(second_held);
}

TEST(WindowsSystemTest, LookupFindsOnlyPlainFilesAndGivesTheStoredName) {
  TempFolder folder;
  const struct {
    const char* name;
    DWORD attributes;  // 0: a folder
    bool plain;
  } files[] = {
      {"1.out", FILE_ATTRIBUTE_NORMAL, true},
      {"2.out", FILE_ATTRIBUTE_READONLY, true},
      {"3.out", FILE_ATTRIBUTE_ARCHIVE, true},
      {"4.out", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE, true},
      {"5.out", FILE_ATTRIBUTE_HIDDEN, false},
      {"6.out", FILE_ATTRIBUTE_SYSTEM, false},
      {"7.out", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, false},
      {"8.out", 0, false},
  };
  for (const auto& file : files) {
    if (file.attributes == 0) {
      folder.MakeFolder(file.name);
    } else {
      folder.Write(file.name, "x");
      ASSERT_TRUE(SetFileAttributesA((folder / file.name).c_str(), file.attributes)) << file.name;
    }
  }
  System& system = CurrentSystem();
  for (const auto& file : files) {
    EXPECT_EQ(system.LookUpPlainFile(folder / file.name), file.plain ? file.name : "") << file.name;
  }
  folder.Write("42.OUT", "x");
  const std::pair<std::string, std::string> lookups[] = {
      {folder / "42.out", "42.OUT"},  // Windows finds it; the caller sees the stored name
      {folder / "9.out", ""},
      {folder / "no\\9.out", ""},
      {folder / "*.out", ""},
      {folder / "?.out", ""},
      {"q:\\tont\\9.out", ""},  // no such drive
  };
  for (const auto& [path, stored] : lookups) EXPECT_EQ(system.LookUpPlainFile(path), stored) << path;
}

}  // namespace
}  // namespace trackrelay
