// The C++ yardstick of a relayed page's floor: the C++ yardstick (baseline_page.cc) that also does
// the exchange's file operations and nothing else, as plainly as they can be done. It writes the
// request TRACKNO=7 as r:\fromnt\t7.DAT below TRACKRELAY_DRIVE_ROOT, flushes it and renames it to
// 7.DAT without replacing (a link and a removal where a share refuses that rename); then opens
// r:\tont\7.out, reads it, closes and deletes it, and writes the relayed page of baseline_lines.h,
// one write(2) a line. It pays the same flush as the program, so that what lies between them is
// the program's own work: the walk that follows no link, the claim, the look, the watch, the line
// rules.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
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
  // A share that refuses renames that never replace (EINVAL from sshfs, smbnetfs, a GlusterFS or
  // CephFS client) gets a hard link and a removal, as the program makes them there.
  if (syscall(SYS_renameat2, AT_FDCWD, temporary.c_str(), AT_FDCWD, request.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return 3;
    if (link(temporary.c_str(), request.c_str()) != 0 || unlink(temporary.c_str()) != 0) return 3;
  }

  const int in = open(answer.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return 4;
  char buffer[65536];
  while (read(in, buffer, sizeof buffer) > 0) {
  }
  close(in);
  if (unlink(answer.c_str()) != 0) return 4;

  for (const char* text : kLines) {
    std::string page_line(text);
    if (write(1, page_line.data(), page_line.size()) < 0) return 1;
  }
  return BASELINE_EXIT_STATUS;
}
