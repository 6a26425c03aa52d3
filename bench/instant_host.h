// The remote host of the floor: a thread that answers a request the moment it is published, with
// an answer made ready before the run, so that what a run waits for is the exchange and no work.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace trackrelay::bench {

// A program takes an answer only once the remote host has taken its request, and removes an
// answer that stands before it publishes; so the answer cannot be put in place before the start.
// This host does the least a remote host can: when N.DAT arrives in the outbound folder, it
// removes it, then renames the answer, written beforehand as tN.out, to N.out in the inbound
// folder. It is woken by a watch on the outbound folder as it is reached where the publication's
// events are reported: the folder itself on a local disk, the server's folder of a share, and on
// a FUSE volume the web server's own client (a client is told nothing of another's changes). A
// publication that the watch misses is found by a look every 100 ms, and shows as a late run.
class InstantHost {
 public:
  // outbound and inbound are where the host removes and renames, watched where publications show.
  InstantHost(std::string outbound, std::string inbound, std::string watched)
      : outbound_(Folder(outbound)), inbound_(Folder(inbound)) {
    watch_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch_ >= 0 && inotify_add_watch(watch_, watched.c_str(), IN_MOVED_TO | IN_CREATE | IN_ONLYDIR) < 0) {
      std::perror(("instant host: cannot watch " + watched).c_str());
    }
    if (pipe2(stop_, O_CLOEXEC) != 0) {
      std::perror("instant host: pipe");
      std::abort();
    }
    thread_ = std::thread([this] { Serve(); });
  }
  InstantHost(const InstantHost&) = delete;
  InstantHost& operator=(const InstantHost&) = delete;
  ~InstantHost() {
    (void)!write(stop_[1], "x", 1);
    thread_.join();
    for (int fd : {watch_, stop_[0], stop_[1]}) {
      if (fd >= 0) close(fd);
    }
  }

  // Before a run: what a run before left of number's exchange goes, and its answer page stands
  // ready as tN.out. False when the page cannot be written.
  bool Prepare(const std::string& number, const std::string& page) {
    std::lock_guard<std::mutex> hold(mutex_);
    number_.clear();
    Clear(number);
    {
      std::ofstream ready(inbound_ + "t" + number + ".out", std::ios::binary | std::ios::trunc);
      ready << page;
      if (!ready.flush()) return false;
    }
    number_ = number;
    answered_ = false;
    return true;
  }

  // After a run: whether its request was answered. What it left stays until the next Prepare.
  bool Finish() {
    std::lock_guard<std::mutex> hold(mutex_);
    number_.clear();
    return answered_;
  }

  // Removes what the exchange of number holds, the answer made ready included.
  void Clear(const std::string& number) const {
    for (const std::string& path : {outbound_ + number + ".DAT", inbound_ + number + ".out", inbound_ + "t" + number + ".out"}) {
      unlink(path.c_str());
    }
  }

 private:
  static std::string Folder(std::string path) { return path.empty() || path.back() == '/' ? path : path + "/"; }

  // Answers the awaited request, once: the request goes first, since a program takes no answer
  // while its request stands.
  void AnswerIfPublished(const char* name) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (number_.empty() || answered_) return;
    const std::string request = outbound_ + number_ + ".DAT";
    if (name != nullptr ? number_ + ".DAT" != name : access(request.c_str(), F_OK) != 0) return;
    if (unlink(request.c_str()) != 0) return;
    answered_ = rename((inbound_ + "t" + number_ + ".out").c_str(), (inbound_ + number_ + ".out").c_str()) == 0;
  }

  void Serve() {
    pollfd watched[2] = {{watch_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    for (;;) {
      // Without a watch (a negative descriptor is left out), the look alone.
      const int ready = poll(watched, 2, 100);
      if (ready < 0 && errno != EINTR) return;
      if (watched[1].revents != 0) return;
      if (ready <= 0) {
        AnswerIfPublished(nullptr);
        continue;
      }
      alignas(inotify_event) char buffer[4096];
      for (ssize_t got; (got = read(watch_, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < got;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
          if (event->len > 0) AnswerIfPublished(event->name);
          if ((event->mask & IN_Q_OVERFLOW) != 0) AnswerIfPublished(nullptr);
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
      }
    }
  }

  const std::string outbound_, inbound_;
  int watch_ = -1;
  int stop_[2] = {-1, -1};
  std::mutex mutex_;
  std::string number_;  // the number whose request is awaited; empty between runs
  bool answered_ = false;
  std::thread thread_;
};

}  // namespace trackrelay::bench
