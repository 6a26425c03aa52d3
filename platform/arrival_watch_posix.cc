// The arrival watch on POSIX: inotify on the folder of the awaited file, told of renames into it.
#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include "platform/arrival_watch.h"
#include "platform/file_system_common.h"
#include "platform/unique_handle.h"

namespace trackrelay {

struct ArrivalWatch::Listener {
  UniqueDescriptor inotify;
  std::string name;  // the file whose arrival ends a wait; empty until one is chosen
};

void ArrivalWatch::EndListener::operator()(Listener* listener) const { delete listener; }

void ArrivalWatch::Set(const std::string& folder, const WatchedFolder& reached) {
  Disarm();
  std::unique_ptr<Listener, EndListener> listener(new Listener);
  listener->inotify = UniqueDescriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!listener->inotify.valid()) return;
  // The folder as the walk reached it, links refused, named through its descriptor; the watch
  // then follows that folder wherever it is moved.
  const std::string through = "/proc/self/fd/" + std::to_string(reached.descriptor);
  // Renames into the folder only. A watch that also asks for files closed after writing makes
  // the kernel mark every name it has cached for the folder, deleted answers and the N.OUT
  // lookups included, when it is set: 18 ms with 200,000 such names, paid by every request
  // and growing for as long as the server runs. The remote host renames a complete answer
  // into place; one written in place is still found by the next look.
  if (inotify_add_watch(listener->inotify.get(), through.c_str(), IN_MOVED_TO | IN_ONLYDIR) < 0) return;
  listener_ = std::move(listener);
  folder_ = folder;
}

namespace {

// Reads what the watch reported; true when the awaited name was renamed in. The name must
// match exactly: another request's file, or N.OUT, wakes nobody. gone is set when the folder
// went away, which ends the watch.
bool Arrived(int inotify, const std::string& name, bool& gone) {
  alignas(inotify_event) char buffer[8192];
  bool arrived = false;
  for (;;) {
    const ssize_t got = read(inotify, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & IN_Q_OVERFLOW) != 0) arrived = true;  // events lost: look to be sure
      if ((event->mask & IN_IGNORED) != 0) gone = true;         // the folder is gone
      if ((event->mask & IN_MOVED_TO) != 0 && event->len > 0 && !gone && name == event->name) arrived = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (gone) break;
  }
  return arrived;
}

}  // namespace

void ArrivalWatch::Choose(const std::string& path) {
  armed_.clear();
  if (listener_ == nullptr) return;
  listener_->name = NameInFolder(path);
  if (listener_->name.empty()) return;
  // What the folder reported since the watch was set (other requests' answers, and the name's
  // own arrivals before it was chosen) is read and dropped: only what comes from now on wakes.
  bool gone = false;
  Arrived(listener_->inotify.get(), "", gone);
  if (gone) {
    Disarm();
    return;
  }
  armed_ = path;
}

ArrivalWatch::Wait ArrivalWatch::WaitOnce(DWORD milliseconds) {
  pollfd ready{listener_->inotify.get(), POLLIN, 0};
  const int polled = poll(&ready, 1, static_cast<int>(milliseconds));
  if (polled < 0 && errno != EINTR) {
    // A watch that fails ends the watching.
    Disarm();
    return Wait::kGoOn;
  }
  bool gone = false;
  const bool arrived = polled > 0 && Arrived(listener_->inotify.get(), listener_->name, gone);
  if (gone) Disarm();
  // A poll that timed out may end a hair before the deadline by the steady clock: the next round
  // tells.
  return arrived ? Wait::kArrived : Wait::kGoOn;
}

}  // namespace trackrelay
