#include "remote_host/folder_pause.h"

#include <thread>

#ifdef __linux__
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#endif

namespace trackrelay::remote_host {

FolderPause::FolderPause(const std::filesystem::path& folder) {
#ifdef __linux__
  watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ >= 0 && inotify_add_watch(watch_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR) < 0) {
    close(watch_);
    watch_ = -1;
  }
#else
  (void)folder;
#endif
}

FolderPause::~FolderPause() {
#ifdef __linux__
  if (watch_ >= 0) close(watch_);
#endif
}

void FolderPause::Wait(std::chrono::milliseconds longest) {
#ifdef __linux__
  if (watch_ >= 0) {
    pollfd ready{watch_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(longest.count())) > 0) {
      alignas(inotify_event) char events[4096];
      while (read(watch_, events, sizeof events) > 0) {
      }
    }
    return;
  }
#endif
  std::this_thread::sleep_for(longest);
}

}  // namespace trackrelay::remote_host
