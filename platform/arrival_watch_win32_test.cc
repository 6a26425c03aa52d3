#include "platform/arrival_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "platform/kernel32.h"
#include "platform/system.h"

namespace trackrelay {
namespace {

namespace fs = std::filesystem;

// An inbound and an outbound folder below a fresh temporary folder, removed with all they hold.
class Drive {
 public:
  Drive() {
    static int count = 0;
    char temp[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary folder");
    root_ = std::string(temp) + "trackrelay-arrival-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(count++);
    fs::create_directories(root_ + "\\tont");
    fs::create_directories(root_ + "\\fromnt");
  }
  ~Drive() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Drive(const Drive&) = delete;
  Drive& operator=(const Drive&) = delete;

  std::string In(const std::string& name) const { return root_ + "\\tont\\" + name; }
  std::string Out(const std::string& name) const { return root_ + "\\fromnt\\" + name; }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

// Creates the file (replacing any) and writes bytes to it; the handle stays open.
HANDLE Create(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
  DWORD wrote = 0;
  if (!bytes.empty() && !WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr)) {
    CloseHandle(file);
    throw std::runtime_error("cannot write " + path);
  }
  return file;
}

// The handle the case left open, closed once the wait is over.
struct Held {
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Held() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
};

TEST(ArrivalWatchTest, AWaitEndsEarlyOnlyForTheAwaitedNameRenamedInOrWritten) {
  struct Case {
    const char* what;
    std::function<void(const Drive&, Held&)> act;  // 50 ms into a wait of 400 ms
    bool wakes;
  };
  auto renamed_in = [](const char* name) {
    return [name](const Drive& d, Held&) {
      CloseHandle(Create(d.In("partial"), "x"));
      if (!MoveFileA(d.In("partial").c_str(), d.In(name).c_str())) throw std::runtime_error("cannot rename");
    };
  };
  auto written_in = [](const char* name, const char* bytes, bool close) {
    return [name, bytes, close](const Drive& d, Held& held) {
      HANDLE file = Create(d.In(name), bytes);
      if (close) CloseHandle(file);
      else held.file = file;
    };
  };
  const Case cases[] = {
      {"renamed in", renamed_in("5.out"), true},
      {"written in place and closed", written_in("5.out", "x", true), true},
      {"created and held open", written_in("5.out", "", false), false},
      {"written and held open", written_in("5.out", "x", false), false},
      {"created empty and closed", written_in("5.out", "", true), false},
      {"another number renamed in", renamed_in("6.out"), false},
      {"the name in another case", renamed_in("5.OUT"), false},
      {"written in the outbound folder",
       [](const Drive& d, Held&) { CloseHandle(Create(d.Out("5.out"), "x")); }, false},
      {"moved in from another folder",
       [](const Drive& d, Held&) {
         CloseHandle(Create(d.Out("5.tmp"), "x"));
         if (!MoveFileA(d.Out("5.tmp").c_str(), d.In("5.out").c_str())) throw std::runtime_error("cannot move");
       },
       true},
  };
  for (const Case& c : cases) {
    Drive drive;
    Held held;
    CurrentSystem().WatchForArrival(drive.In("5.out"));
    std::thread actor([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      c.act(drive, held);
    });
    const auto started = std::chrono::steady_clock::now();
    const DWORD left = CurrentSystem().AwaitArrival(drive.In("5.out"), 400);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    actor.join();
    if (c.wakes) {
      EXPECT_GT(left, 200u) << c.what;
      EXPECT_LT(waited, 0.2) << c.what;
    } else {
      EXPECT_EQ(left, 0u) << c.what;
      EXPECT_GE(waited, 0.4) << c.what;
    }
  }
}

TEST(ArrivalWatchTest, AWriteIsTakenOnlyOnceItsWriterLetsGo) {
  Drive drive;
  Held held;
  CurrentSystem().WatchForArrival(drive.In("5.out"));
  std::thread writer([&] {
    held.file = Create(drive.In("5.out"), "half");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    DWORD wrote = 0;
    WriteFile(held.file, " and the rest", 13, &wrote, nullptr);
    CloseHandle(std::exchange(held.file, INVALID_HANDLE_VALUE));
  });
  const auto started = std::chrono::steady_clock::now();
  const DWORD left = CurrentSystem().AwaitArrival(drive.In("5.out"), 600);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  writer.join();
  EXPECT_GT(left, 0u);
  EXPECT_GE(waited, 0.15);
  EXPECT_LT(waited, 0.4);
}

TEST(ArrivalWatchTest, WithoutAWatchAWaitIsASleep) {
  Drive drive;
  struct Case {
    const char* what;
    std::string armed, awaited;
  };
  const Case cases[] = {
      {"no such folder", drive.root() + "\\gone\\5.out", drive.root() + "\\gone\\5.out"},
      {"a file in place of the folder", drive.In("5.out") + "\\5.out", drive.In("5.out") + "\\5.out"},
      {"another file awaited than armed", drive.In("5.out"), drive.In("6.out")},
  };
  CloseHandle(Create(drive.In("5.out"), "x"));
  for (const Case& c : cases) {
    CurrentSystem().WatchForArrival(c.armed);
    std::thread actor([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      CloseHandle(Create(drive.In("p"), "x"));
      MoveFileExA(drive.In("p").c_str(), c.awaited.c_str(), MOVEFILE_REPLACE_EXISTING);
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(CurrentSystem().AwaitArrival(c.awaited, 120), 0u) << c.what;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(120)) << c.what;
    actor.join();
  }
}

}  // namespace
}  // namespace trackrelay
