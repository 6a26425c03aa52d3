// The arrival watch: ends a wait for an answer as soon as the answer lands in its folder, on
// inotify (arrival_watch_posix.cc) or ReadDirectoryChangesW (arrival_watch_win32.cc).
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "platform/file_system_common.h"
#include "platform/kernel32.h"

namespace trackrelay {

// The folder to watch, as the file system reached it.
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
};

// What System::WatchFolder, System::WatchForArrival and System::AwaitArrival run on. Each file
// system holds one as a member; the program awaits one answer at a time, in one folder.
class ArrivalWatch {
 public:
  ArrivalWatch() = default;
  ArrivalWatch(const ArrivalWatch&) = delete;
  ArrivalWatch& operator=(const ArrivalWatch&) = delete;

  // Ends the watch and forgets its folder.
  void Disarm() {
    listener_.reset();
    armed_.clear();
    folder_.clear();
  }
  // Sets the watch on a folder that the file system reached, for a file to be named later
  // (Choose), replacing any watch set before. folder is the folder as the waits' paths begin,
  // up to its last separator ("r:\\tont\\"). On POSIX the kernel's watch is made here, so that
  // a process that is then shut in needs no call to make one; on Windows the folder is opened
  // only once a file is chosen. Where the folder cannot be watched, nothing is set and nothing
  // is said.
  void Set(const std::string& folder, const WatchedFolder& reached);
  // Names the file whose arrival ends a wait: path (a drive path, as the wait will name it) in the
  // folder set, replacing the one named before. Only what arrives from now on counts: whatever the
  // folder reported before is dropped. A path in another folder, or no folder set, arms nothing.
  void Choose(const std::string& path);
  // Waits up to milliseconds, as System::AwaitArrival says. Only the very path chosen, compared
  // as written, can end the wait early: for any other path, as without a watch, it sleeps the
  // whole time, so that a file of the same name in another folder, or
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

  // The name of path in the folder set, or empty text when path names no file there: compared
  // as written, as the wait compares its path.
  std::string NameInFolder(const std::string& path) const {
    if (folder_.empty() || path.size() <= folder_.size() || path.compare(0, folder_.size(), folder_) != 0) return "";
    const std::string name = path.substr(folder_.size());
    return name.find_first_of("\\/") == std::string::npos ? name : "";
  }

  std::unique_ptr<Listener, EndListener> listener_;  // none while nothing is watched
  std::string armed_;                                // the path chosen, whose arrival ends a wait
  std::string folder_;                               // the folder set, up to its last separator
#ifdef _WIN32
  WatchedFolder reached_;  // the folder set, as the Win32 file API takes it
#endif
};

}  // namespace trackrelay
