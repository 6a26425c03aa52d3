// The arrival watch: ends a wait for an answer as soon as the answer lands in its folder, on
// inotify (arrival_watch_posix.cc) or ReadDirectoryChangesW (arrival_watch_win32.cc).
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "platform/file_system_common.h"
#include "platform/kernel32.h"

namespace trackrelay {

// The folder to watch, as the file system reached it, and the awaited file's name in it.
struct WatchedFolder {
#ifdef _WIN32
  // As the Win32 file API takes it ("r:\\tont"); the watch opens the folder itself, never what a
  // reparse point there leads to.
  std::string path;
#else
  // Reached without following a link; the watch names the folder through it and keeps no hold
  // on it.
  int descriptor = -1;
#endif
  std::string name;
};

// What System::WatchForArrival and System::AwaitArrival run on. Each file system holds one as a
// member; the program awaits one answer at a time, so arming it again replaces the watch.
class ArrivalWatch {
 public:
  ArrivalWatch() = default;
  ArrivalWatch(const ArrivalWatch&) = delete;
  ArrivalWatch& operator=(const ArrivalWatch&) = delete;

  // Ends the watch armed before: each wait starts with its own.
  void Disarm() {
    listener_.reset();
    armed_.clear();
  }
  // Arms the watch for the file at path (a drive path, as the wait will name it) in the folder
  // the file system reached for it, replacing any watch armed before. Where the folder cannot be
  // watched, nothing is armed and nothing is said.
  void Arm(const std::string& path, const WatchedFolder& folder);
  // Waits up to milliseconds, as System::AwaitArrival says. Only the very path the watch was
  // armed with, compared as written, can end the wait early: for any other path, as without a
  // watch, it sleeps the whole time, so that a file of the same name in another folder, or
  // another request's answer, never cuts a wait short.
  DWORD Await(const std::string& path, DWORD milliseconds) {
    if (listener_ == nullptr || path != armed_) {
      ::Sleep(milliseconds);
      return 0;
    }
    const Deadline deadline(milliseconds);
    for (;;) {
      const long long left = deadline.LeftMs();
      if (left <= 0) return 0;
      const Wait waited = WaitOnce(static_cast<DWORD>(left));
      if (waited == Wait::kArrived) return static_cast<DWORD>(std::max<long long>(deadline.LeftMs(), 1));
      if (waited == Wait::kTimeUp) return 0;
      if (listener_ == nullptr) {
        // The watch failed, or its folder went: the rest of the time is slept.
        ::Sleep(static_cast<DWORD>(std::max<long long>(deadline.LeftMs(), 0)));
        return 0;
      }
    }
  }

  // The platform's own, opaque here: an inotify descriptor, or a folder's handle, its event and
  // its report buffer.
  struct Listener;

 private:
  enum class Wait {
    kArrived,  // the awaited file arrived, or the folder lost count of its changes: look
    kTimeUp,   // the whole time given was waited, as a Sleep would have
    kGoOn,     // woken by something else: wait on for what is left
  };

  // One wait of the armed watch, of up to milliseconds. A watch that fails, or whose folder goes,
  // is disarmed.
  Wait WaitOnce(DWORD milliseconds);

  // Each platform's file ends its Listener, which only it knows.
  struct EndListener {
    void operator()(Listener* listener) const;
  };

  std::unique_ptr<Listener, EndListener> listener_;  // none while nothing is armed
  std::string armed_;                                // the path the watch was armed with
};

}  // namespace trackrelay
