// The C++ yardstick of a relayed page's floor: the C++ yardstick (baseline_page.cc) that also does
// the exchange's file operations and nothing else, as plainly as they can be done, by the
// exchange's rules. It removes an answer r:\tont\7.out that stands (an earlier request's), writes
// the request TRACKNO=7 as r:\fromnt\t7.DAT below TRACKRELAY_DRIVE_ROOT, flushes it and renames it
// to 7.DAT without replacing (as the program does where a share refuses that rename); then looks
// for r:\tont\7.out until it comes, woken by a watch of the folder or else every 100 ms, and takes
// it once 7.DAT is gone (taken by the remote host); reads it, closes and deletes it, and writes the
// relayed page of baseline_lines.h, one write(2) a line. It pays the same flush and the same wait
// for the remote host as the program, so that what lies between them is the program's own work:
// the walk that follows no link, the claim, the look that checks the name, the line rules.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#define RELAYED_PAGE
#include "baseline_lines.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

int main() {
  const char* root = getenv("TRACKRELAY_DRIVE_ROOT");
  if (root == nullptr) return 2;
  const std::string outbound = std::string(root) + "/r/fromnt/", inbound = std::string(root) + "/r/tont/";
  const std::string temporary = outbound + "t7.DAT", request = outbound + "7.DAT", answer = inbound + "7.out";

  // An answer that stands before publication is an earlier request's: one call, found or not.
  if (unlink(answer.c_str()) != 0 && errno != ENOENT) return 3;
  unlink(temporary.c_str());
  const int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) return 3;
  const std::string line = "TRACKNO=7\r\n";
  if (write(out, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || fsync(out) != 0 || close(out) != 0) {
    return 3;
  }
  // The watch is armed before publication, so that an answer that comes at once wakes the wait.
  // A share's client is told nothing of the server's changes: there the look every 100 ms finds it.
  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch >= 0) inotify_add_watch(watch, inbound.c_str(), IN_MOVED_TO | IN_ONLYDIR);
  // A share that refuses renames that never replace (sshfs, smbnetfs, a GlusterFS or CephFS
  // client) gets a hard link and a removal, and one that has no hard links either (smbnetfs) a
  // look at the target and a rename, as the program makes them there.
  auto unsupported = [](int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; };
  if (syscall(SYS_renameat2, AT_FDCWD, temporary.c_str(), AT_FDCWD, request.c_str(), RENAME_NOREPLACE) != 0) {
    if (!unsupported(errno)) return 3;
    struct stat source;
    // sshfs makes the link, then looks the new name up: ENOENT when the remote host has taken the
    // request in between, as the program knows.
    if (link(temporary.c_str(), request.c_str()) == 0 || (errno == ENOENT && lstat(temporary.c_str(), &source) == 0)) {
      if (unlink(temporary.c_str()) != 0) return 3;
    } else {
      struct stat there;
      if ((errno != EPERM && !unsupported(errno)) || lstat(request.c_str(), &there) == 0 || errno != ENOENT ||
          rename(temporary.c_str(), request.c_str()) != 0) {
        return 3;
      }
    }
  }

  // An answer counts once the request is gone: the one that came while 7.DAT stood is another's.
  int in = -1;
  for (int look = 1;; ++look) {
    in = open(answer.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0 && errno != ENOENT) return 4;
    if (in >= 0) {
      struct stat request_stands;
      if (lstat(request.c_str(), &request_stands) != 0 && errno == ENOENT) break;
      close(in);
    }
    if (look == 450) return 4;
    pollfd woken{watch, POLLIN, 0};
    if (poll(&woken, watch >= 0 ? 1 : 0, 100) > 0) {
      char events[4096];
      (void)!read(watch, events, sizeof events);
    }
  }
  char buffer[65536];
  while (read(in, buffer, sizeof buffer) > 0) {
  }
  close(in);
  // A share that passes on its server's "busy" for a file just closed (EBUSY) is asked again, as
  // the program asks it.
  for (int tries = 1; unlink(answer.c_str()) != 0; ++tries) {
    if (errno != EBUSY || tries == 50) return 5;
    usleep(20000);
  }

  for (const char* text : kLines) {
    std::string page_line(text);
    if (write(1, page_line.data(), page_line.size()) < 0) return 1;
  }
  return BASELINE_EXIT_STATUS;
}
