// The C++ yardstick of a relayed page's floor: the C++ yardstick (baseline_page.cc) that also does
// the exchange's file operations and nothing else, as plainly as they can be done. It writes the
// request TRACKNO=7 as r:\fromnt\t7.DAT below TRACKRELAY_DRIVE_ROOT, flushes it and renames it to
// 7.DAT without replacing (as the program does where a share refuses that rename); then opens
// r:\tont\7.out, reads it, closes and deletes it, and writes the relayed page of baseline_lines.h,
// one write(2) a line. It pays the same flush as the program, so that what lies between them is
// the program's own work: the walk that follows no link, the claim, the look, the watch, the line
// rules.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
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

  unlink(temporary.c_str());
  const int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) return 3;
  const std::string line = "TRACKNO=7\r\n";
  if (write(out, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || fsync(out) != 0 || close(out) != 0) {
    return 3;
  }
  // A share that refuses renames that never replace (sshfs, smbnetfs, a GlusterFS or CephFS
  // client) gets a hard link and a removal, and one that has no hard links either (smbnetfs) a
  // look at the target and a rename, as the program makes them there.
  auto unsupported = [](int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; };
  if (syscall(SYS_renameat2, AT_FDCWD, temporary.c_str(), AT_FDCWD, request.c_str(), RENAME_NOREPLACE) != 0) {
    if (!unsupported(errno)) return 3;
    if (link(temporary.c_str(), request.c_str()) == 0) {
      if (unlink(temporary.c_str()) != 0) return 3;
    } else {
      struct stat there;
      if ((errno != EPERM && !unsupported(errno)) || lstat(request.c_str(), &there) == 0 || errno != ENOENT ||
          rename(temporary.c_str(), request.c_str()) != 0) {
        return 3;
      }
    }
  }

  // The answer is in place before the start, but a share's client may show it a moment late
  // (smbnetfs): looked for again after 100 ms, as the program looks.
  int in = -1;
  for (int look = 1; (in = open(answer.c_str(), O_RDONLY | O_CLOEXEC)) < 0; ++look) {
    if (errno != ENOENT || look == 450) return 4;
    usleep(100000);
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
