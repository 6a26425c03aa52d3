#include "platform/file_system_win32.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/drive_path.h"
#include "platform/failure.h"
#include "platform/kernel32.h"
#include "platform/system.h"

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

// The byte of the lock file that the tests lock, as the counter's lock does.
constexpr std::int64_t kSlot = 65536;

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
    // A folder left by an earlier process of the same id (Wine hands out the same few ids again)
    // whose claims it could not remove while they were held: the next name.
    do {
      path_ = std::string(temp) + "trackrelay-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(count++);
    } while (!CreateDirectoryA(path_.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
    if (GetFileAttributesA(path_.c_str()) == INVALID_FILE_ATTRIBUTES) throw std::runtime_error("cannot make " + path_);
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
          locked ? system.OpenTextFileLocked(folder / "1.out", folder / "track.claims", kSlot)
                 : system.OpenTextFile(folder / "1.out");
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
      {"lock missing file",
       [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "none.txt", f / "track.claims", kSlot); },
       kFileNotFound},
      {"lock in missing folder",
       [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "no\\x", f / "track.claims", kSlot); },
       kPathNotFound},
      {"lock a folder", [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "sub", f / "track.claims", kSlot); },
       kPermissionDenied},
      {"lock file in a missing folder",
       [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "track.txt", f / "no\\x", kSlot); },
       kPathNotFound},
      {"lock file a folder",
       [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "track.txt", f / "sub", kSlot); },
       kPermissionDenied},
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
      {"lock", [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "ro.txt", f / "track.claims", kSlot); },
       0},
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
  std::unique_ptr<TextFileReader> locked =
      system.OpenTextFileLocked(folder / "track.txt", folder / "track.claims", kSlot);
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
          std::unique_ptr<TextFileReader> locked =
              system.OpenTextFileLocked(folder / "track.txt", folder / "track.claims", kSlot);
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
  // Two spellings of one lock file share one lock: the second waits until the first is gone.
  TempFolder folder;
  folder.Write("track.txt", "1\r\n");
  System& system = CurrentSystem();
  std::unique_ptr<TextFileReader> first =
      system.OpenTextFileLocked(folder / "track.txt", folder / "track.claims", kSlot);
  std::atomic<bool> second_held{false};
  auto other_spelling = [&](const std::string& name) {
    std::string path = folder / (".\\" + name);
    for (char& c : path) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c == '\\' ? '/' : c);
    return path;
  };
  std::thread second([&] {
    std::unique_ptr<TextFileReader> reader =
        system.OpenTextFileLocked(other_spelling("track.txt"), other_spelling("track.claims"), kSlot);
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

// A Windows path marked for RunBeneathWine.
std::string UnixPath(const std::string& windows_path) {
  std::string marked(1, '@');
  marked.append(windows_path);
  return marked;
}

// Runs a program of the Unix system beneath Wine with these arguments, Windows paths among them
// marked by UnixPath and turned into the system's own, and waits up to 10 s until done() holds
// (Wine hands back control before a Unix program ends). False where there is no such system
// (real Windows) or done() never held.
bool RunBeneathWine(const std::string& program, const std::vector<std::string>& args,
                    const std::function<bool()>& done) {
  using UnixName = char*(CDECL*)(const WCHAR*);
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  auto unix_name = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "wine_get_unix_file_name")));
  if (unix_name == nullptr) return false;
  std::string command = program;
  for (const std::string& arg : args) {
    std::string unix_arg = arg;
    if (!arg.empty() && arg[0] == '@') {
      // The folder, which exists, and the name in it, which may not.
      const std::size_t last = arg.find_last_of('\\');
      const std::string folder = arg.substr(1, last - 1);
      std::wstring wide(folder.begin(), folder.end());
      char* name = unix_name(wide.c_str());
      if (name == nullptr) return false;
      unix_arg = std::string(name) + "/" + arg.substr(last + 1);
      HeapFree(GetProcessHeap(), 0, name);
    }
    command += " \"" + unix_arg + "\"";
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  for (int waited = 0; waited < 10000; waited += 20) {
    if (done()) return true;
    Sleep(20);
  }
  return false;
}

bool Exists(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

// A symbolic link at link to target: a Windows one where this process may make them, else a Unix
// one beneath Wine. False when neither can be made here.
enum class Link { kNone, kWindows, kUnix };

Link MakeLink(const std::string& link, const std::string& target, bool folder) {
  const DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  // Wine answers success and makes nothing.
  if (CreateSymbolicLinkA(link.c_str(), target.c_str(), flags) && Exists(link)) return Link::kWindows;
  return RunBeneathWine("/usr/bin/ln", {"-s", UnixPath(target), UnixPath(link)}, [&] { return Exists(link); })
             ? Link::kUnix
             : Link::kNone;
}

// A named pipe of the Unix system beneath Wine at path; Windows keeps its pipes out of folders.
bool MakeUnixFifo(const std::string& path) {
  return RunBeneathWine("/usr/bin/mkfifo", {UnixPath(path)}, [&] { return Exists(path); });
}

// Removes a folder that holds links and pipes that Windows calls cannot remove, without going
// through the links.
struct RemovedBeneathWine {
  std::string path;
  ~RemovedBeneathWine() {
    RunBeneathWine("/usr/bin/rm", {"-rf", UnixPath(path)}, [&] { return !Exists(path); });
  }
};

TEST(WindowsSystemTest, NothingIsReachedThroughALinkAndOnlyPlainFilesAreRead) {
  TempFolder folder;
  folder.MakeFolder("outside");
  folder.MakeFolder("tont");
  folder.Write("outside\\secret.txt", "secret\r\n");
  folder.Write("outside\\7.out", "local\r\n");
  folder.Write("outside\\track.txt", " 41 \r\n");
  // Links and pipes go before the folder, without walking through the links.
  RemovedBeneathWine links{folder / "tont"}, folder_link{folder / "linked"};
  Link kind = MakeLink(folder / "linked", folder / "outside", true);
  for (const char* name : {"tont\\1.out", "tont\\2.out", "tont\\3.out"}) {
    if (kind != Link::kNone && MakeLink(folder / name, folder / "outside\\secret.txt", false) != kind) kind = Link::kNone;
  }
  if (kind == Link::kNone) GTEST_SKIP() << "no symbolic links can be made here";
  // Windows removes a link as itself. Wine follows a Unix link whatever it is asked: removing or
  // renaming it through Windows would act on its target, so a link is refused there.
  const int link_removal = kind == Link::kWindows ? 0 : kPermissionDenied;
  const bool fifo = MakeUnixFifo(folder / "tont\\fifo.out");
  System& system = CurrentSystem();

  const FailureCase cases[] = {
      // A folder reached through a link counts as missing, whatever is done in it.
      {"open through a linked folder", [](System& s, const TempFolder& f) { s.OpenTextFile(f / "linked\\7.out"); },
       kPathNotFound},
      {"lock through a linked folder",
       [](System& s, const TempFolder& f) {
         s.OpenTextFileLocked(f / "linked\\track.txt", f / "track.claims", kSlot);
       },
       kPathNotFound},
      {"lock through a linked folder's lock file",
       [](System& s, const TempFolder& f) {
         s.OpenTextFileLocked(f / "tont\\nothing", f / "linked\\track.claims", kSlot);
       },
       kPathNotFound},
      {"write through a linked folder", [](System& s, const TempFolder& f) { s.WriteTextFile(f / "linked\\t7.DAT", "a"); },
       kPathNotFound},
      {"durable write through a linked folder",
       [](System& s, const TempFolder& f) { s.WriteTextFileDurably(f / "linked\\track.new", "a", ""); }, kPathNotFound},
      {"rename in a linked folder",
       [](System& s, const TempFolder& f) { s.RenameNoReplace(f / "linked\\7.out", f / "linked\\8.out"); },
       kPathNotFound},
      {"replace in a linked folder",
       [](System& s, const TempFolder& f) { s.RenameReplacing(f / "linked\\7.out", f / "linked\\track.txt"); },
       kPathNotFound},
      {"remove in a linked folder", [](System& s, const TempFolder& f) { s.RemoveFile(f / "linked\\7.out"); },
       kPathNotFound},
      {"claim through a linked folder",
       [](System& s, const TempFolder& f) { s.ClaimForProcess(f / "linked\\track.claims", 1); }, kPathNotFound},
      // A file that is a link is no plain file; removing it removes the link only.
      {"claim in a linked file", [](System& s, const TempFolder& f) { s.ClaimForProcess(f / "tont\\1.out", 1); },
       kPermissionDenied},
      {"open a linked file", [](System& s, const TempFolder& f) { s.OpenTextFile(f / "tont\\1.out"); },
       kPermissionDenied},
      {"lock a linked file",
       [](System& s, const TempFolder& f) { s.OpenTextFileLocked(f / "tont\\1.out", f / "track.claims", kSlot); },
       kPermissionDenied},
      {"remove a linked file", [](System& s, const TempFolder& f) { s.RemoveFile(f / "tont\\2.out"); }, link_removal},
      {"write over a linked file", [](System& s, const TempFolder& f) { s.WriteTextFile(f / "tont\\3.out", "form"); },
       link_removal},
      // A device is no plain file either.
      {"open a device", [](System& s, const TempFolder& f) { s.OpenTextFile(f / "tont\\nul"); }, kPermissionDenied},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(FailureOf([&] { c.action(system, folder); }), c.number) << c.what;
  for (const char* name : {"linked\\7.out", "tont\\1.out"}) EXPECT_EQ(system.LookUpPlainFile(folder / name), "") << name;

  EXPECT_EQ(folder.Read("outside\\secret.txt"), "secret\r\n");
  EXPECT_EQ(folder.Read("outside\\7.out"), "local\r\n");
  EXPECT_EQ(folder.Read("outside\\track.txt"), " 41 \r\n");
  EXPECT_EQ(folder.Read("outside\\8.out"), "<missing>");
  EXPECT_EQ(folder.Read("outside\\t7.DAT"), "<missing>");
  EXPECT_EQ(folder.Read("outside\\track.new"), "<missing>");
  EXPECT_EQ(folder.Read("outside\\track.claims"), "<missing>");
  if (kind == Link::kWindows) {
    EXPECT_FALSE(Exists(folder / "tont\\2.out"));
    EXPECT_EQ(folder.Read("tont\\3.out"), "form");
    EXPECT_EQ(system.LookUpPlainFile(folder / "tont\\3.out"), "3.out") << "the written file is a plain file of its own";
  } else {
    EXPECT_EQ(folder.Read("tont\\2.out"), "secret\r\n") << "the link stays";
  }

  if (!fifo) return;  // real Windows: no FIFO can stand in a folder
  // Beneath Wine a Unix FIFO opens without waiting for a writer, and is refused; Wine removes
  // no FIFO, so a request file cannot replace it either.
  EXPECT_EQ(system.LookUpPlainFile(folder / "tont\\fifo.out"), "");
  EXPECT_EQ(FailureOf([&] { system.OpenTextFile(folder / "tont\\fifo.out"); }), kPermissionDenied);
  EXPECT_EQ(FailureOf([&] { system.OpenTextFileLocked(folder / "tont\\fifo.out", folder / "track.claims", kSlot); }),
            kPermissionDenied);
  EXPECT_EQ(FailureOf([&] { system.WriteTextFile(folder / "tont\\fifo.out", "form"); }), kPermissionDenied);
  EXPECT_EQ(FailureOf([&] { system.RemoveFile(folder / "tont\\fifo.out"); }), kPermissionDenied);
  EXPECT_TRUE(Exists(folder / "tont\\fifo.out"));
}

// What the installation check learns of the drives, seen as every request sees them.
TEST(WindowsSystemTest, DescribesEntriesListsFoldersAndTellsWhatMayBeReplaced) {
  TempFolder folder;
  folder.MakeFolder("tont");
  folder.MakeFolder("outside");
  folder.Write("tont\\1.out", "a");
  folder.Write("tont\\ro.txt", "a");
  ASSERT_TRUE(SetFileAttributesA((folder / "tont\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  {
    HANDLE file = CreateFileA((folder / "tont\\1.out").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    // 1700000000.25 s after 1970, in 100 ns from 1601.
    const std::uint64_t ticks = (1700000000250ULL + 11644473600000ULL) * 10000;
    FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
  }
  RemovedBeneathWine links{folder / "tont"};
  const bool linked = MakeLink(folder / "tont\\2.out", folder / "outside\\x", false) != Link::kNone;
  System& system = CurrentSystem();
  const std::pair<std::string, EntryKind> cases[] = {
      {folder / "tont", EntryKind::kFolder},
      {folder / "tont\\1.out", EntryKind::kPlainFile},
      {folder / "tont\\ro.txt", EntryKind::kPlainFile},
      {folder / "tont\\3.out", EntryKind::kMissing},
      {folder / "gone\\1.out", EntryKind::kUnreachable},
      {folder / "tont\\1.out\\x", EntryKind::kUnreachable},
  };
  for (const auto& [path, kind] : cases) EXPECT_EQ(system.DescribeEntry(path).kind, kind) << path;
  EXPECT_EQ(system.DescribeEntry(folder / "tont\\1.out").modified_ms, 1700000000250);
  if (linked) {
    EXPECT_EQ(system.DescribeEntry(folder / "tont\\2.out").kind, EntryKind::kLink);
    EXPECT_FALSE(system.MayReplace(folder / "tont\\2.out"));
  }

  std::vector<std::string> names = system.ListFolder(folder / "tont\\");
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected = {"1.out", "ro.txt"};
  if (linked) expected.insert(expected.begin() + 1, "2.out");
  EXPECT_EQ(names, expected);
  EXPECT_EQ(FailureOf([&] { system.ListFolder(folder / "gone\\"); }), kPathNotFound);

  const std::pair<std::string, bool> replaceable[] = {
      {folder / "tont\\1.out", true},
      {folder / "tont\\ro.txt", false},  // Windows refuses to rename over a read-only file
      {folder / "tont", false},
      {folder / "tont\\3.out", false},
  };
  for (const auto& [path, may] : replaceable) EXPECT_EQ(system.MayReplace(path), may) << path;
  EXPECT_EQ(system.RenameNoReplaceTellingHow(folder / "tont\\1.out", folder / "tont\\5.out"), RenameWay::kNoReplaceRename);
  EXPECT_EQ(folder.Read("tont\\5.out"), "a");
}

TEST(WindowsSystemTest, DescribesADriveThatIsThereAndOneThatIsNot) {
  TempFolder folder;
  const char letter = (folder / "x")[0];
  const DriveFacts here = CurrentSystem().DescribeDrive(letter);
  EXPECT_TRUE(here.present) << here.description;
  const DWORD drives = GetLogicalDrives();
  char free_letter = 0;
  for (char c = 'q'; c <= 'y' && free_letter == 0; ++c) {
    if ((drives & (1u << (c - 'a'))) == 0) free_letter = c;
  }
  if (free_letter == 0) GTEST_SKIP() << "no drive letter is free";
  EXPECT_FALSE(CurrentSystem().DescribeDrive(free_letter).present) << free_letter;
}

TEST(WindowsSystemTest, AClaimIsMadeOnceInItsFileAndHeldUntilTheProcessEnds) {
  TempFolder folder;
  System& system = CurrentSystem();
  system.ClaimForProcess(folder / "track.claims", 7);
  EXPECT_EQ(folder.Read("track.claims"), "") << "the claims file is made";
  // Another thread stands for another request; this one holds its claims until the test ends.
  int other_slot = -1, same_slot = -1, other_file = -1;
  std::thread other([&] {
    other_slot = FailureOf([&] { system.ClaimForProcess(folder / "track.claims", 8); });
    same_slot = FailureOf([&] { system.ClaimForProcess(folder / "TRACK.CLAIMS", 7); });
    other_file = FailureOf([&] { system.ClaimForProcess(folder / "other.claims", 7); });
    // Held by this thread until the process ends, so that the slots stay taken.
    Sleep(INFINITE);
  });
  other.detach();
  for (int waited = 0; other_file < 0 && waited < 10000; waited += 10) Sleep(10);
  EXPECT_EQ(other_slot, 0);
  EXPECT_EQ(same_slot, kFileAlreadyExists);
  EXPECT_EQ(other_file, 0);
  EXPECT_EQ(FailureOf([&] { system.ClaimForProcess(folder / "track.claims", 8); }), kFileAlreadyExists);
  EXPECT_EQ(FailureOf([&] { system.ClaimForProcess(folder / "no\\track.claims", 1); }), kPathNotFound);
}

TEST(WindowsSystemTest, RequestFilesAreAlwaysWrittenAnew) {
  TempFolder folder;
  folder.Write("secret.txt", "secret\r\n");
  folder.Write("t8.DAT", "stale and longer than the new one\r\n");
  System& system = CurrentSystem();
  // A hard link shares the file's contents: writing through it would change the other name too.
  ASSERT_TRUE(CreateHardLinkA((folder / "t7.DAT").c_str(), (folder / "secret.txt").c_str(), nullptr));
  for (const char* name : {"t7.DAT", "t8.DAT"}) {
    system.WriteTextFile(folder / name, "TRACKNO=7\r\n");
    EXPECT_EQ(folder.Read(name), "TRACKNO=7\r\n") << name;
  }
  EXPECT_EQ(folder.Read("secret.txt"), "secret\r\n");
}

TEST(WindowsSystemTest, ABusyDeleteOrRenameIsRetriedForAboutASecond) {
  TempFolder folder;
  System& system = CurrentSystem();
  // A handle that refuses deletion to others stands for a share that holds the file a moment.
  auto hold = [&](const std::string& name) {
    return CreateFileA((folder / name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  };
  const struct {
    const char* what;
    std::function<void()> action;
    const char* held;
    const char* gone;
  } cases[] = {
      {"remove", [&] { system.RemoveFile(folder / "1.out"); }, "1.out", "1.out"},
      {"rename", [&] { system.RenameNoReplace(folder / "t2.DAT", folder / "2.DAT"); }, "t2.DAT", "t2.DAT"},
      {"replace", [&] { system.RenameReplacing(folder / "track.new", folder / "track.txt"); }, "track.new",
       "track.new"},
  };
  folder.Write("track.txt", " 1 \r\n");
  for (const auto& c : cases) {
    folder.Write(c.held, "x");
    HANDLE held = hold(c.held);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << c.what;
    std::thread release([held] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      CloseHandle(held);
    });
    EXPECT_EQ(FailureOf(c.action), 0) << c.what << ": busy for 200 ms";
    release.join();
    EXPECT_EQ(folder.Read(c.gone), "<missing>") << c.what;

    // Busy for good: the failure comes after the retries.
    folder.Write(c.held, "x");
    held = hold(c.held);
    EXPECT_EQ(FailureOf(c.action), kPermissionDenied) << c.what << ": busy for good";
    CloseHandle(held);
    EXPECT_EQ(folder.Read(c.held), "x") << c.what;
  }
}

// The access-control list of a file, as bytes, and whether it is protected from its folder's.
std::pair<std::string, bool> DaclOf(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return {"<none>", false};
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  std::pair<std::string, bool> result{
      dacl != nullptr ? std::string(reinterpret_cast<const char*>(dacl), dacl->AclSize) : "<null>",
      (control & SE_DACL_PROTECTED) != 0};
  LocalFree(descriptor);
  return result;
}

TEST(WindowsSystemTest, TheReplacementTakesTheRightsOfTheFileItReplaces) {
  TempFolder folder;
  folder.Write("track.txt", " 41 \r\n");
  folder.Write("open.txt", " 41 \r\n");
  // The counter's own list, protected from the folder's: full access for its owner and the
  // system, nothing for anybody else.
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  char user_buffer[256];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &size));
  CloseHandle(token);
  PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer)->User.Sid;
  char system_sid[SECURITY_MAX_SID_SIZE];
  size = sizeof system_sid;
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &size));
  char acl_buffer[512];
  PACL acl = reinterpret_cast<PACL>(acl_buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system_sid));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user));
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
  HANDLE counter = CreateFileA((folder / "track.txt").c_str(), WRITE_DAC, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(counter, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetKernelObjectSecurity(counter, DACL_SECURITY_INFORMATION, &descriptor));
  CloseHandle(counter);
  const auto restricted = DaclOf(folder / "track.txt");
  const auto as_the_folder_made_it = DaclOf(folder / "open.txt");
  ASSERT_NE(restricted, as_the_folder_made_it);

  System& system = CurrentSystem();
  const struct {
    const char* like;
    std::pair<std::string, bool> rights;
  } cases[] = {
      {"track.txt", restricted},
      {"open.txt", as_the_folder_made_it},
      {"none.txt", as_the_folder_made_it},  // nothing to take after
  };
  for (const auto& c : cases) {
    system.WriteTextFileDurably(folder / "track.new", " 42 \r\n", folder / c.like);
    EXPECT_EQ(DaclOf(folder / "track.new"), c.rights) << c.like;
    EXPECT_EQ(folder.Read("track.new"), " 42 \r\n") << c.like;
  }
  system.RenameReplacing(folder / "track.new", folder / "track.txt");
  EXPECT_EQ(DaclOf(folder / "track.txt"), as_the_folder_made_it);
}

TEST(WindowsSystemTest, LookupTakesOnlyTheSpellingAskedFor) {
  // A Unix folder beneath Wine tells case apart and may hold both spellings; Windows finds
  // either for either name, and only the listing tells which one is stored.
  TempFolder folder;
  folder.Write("9.OUT", "upper");
  auto both = [&] {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder / "9.ou?").c_str(), &found);
    int count = 0;
    if (search != INVALID_HANDLE_VALUE) {
      do ++count;
      while (FindNextFileA(search, &found));
      FindClose(search);
    }
    return count == 2;
  };
  if (!RunBeneathWine("/usr/bin/touch", {UnixPath(folder / "9.out")}, both)) {
    GTEST_SKIP() << "the folder ignores case here";
  }
  System& system = CurrentSystem();
  EXPECT_EQ(system.LookUpPlainFile(folder / "9.out"), "9.out");
  EXPECT_EQ(system.LookUpPlainFile(folder / "9.OUT"), "9.OUT");
  const std::string other = system.LookUpPlainFile(folder / "9.Out");
  EXPECT_TRUE(other == "9.out" || other == "9.OUT") << "no exact spelling: a stored one, not " << other;
}

}  // namespace
}  // namespace trackrelay
