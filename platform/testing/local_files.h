// Whole files of this machine written and read by path, for tests that set up and inspect a
// drive from outside the program. Tests only; header alone, so that any test harness can use it.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace trackrelay {

// Replaces whatever the file held with bytes; throws when it cannot.
inline void WriteLocalFile(const std::string& local, const std::string& bytes) {
  std::ofstream out(local, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + local);
}

#ifndef _WIN32
// WriteLocalFile, and the bytes flushed to the disk: what a test sets up before it cuts the
// power must outlive the cut.
inline void WriteLocalFileFlushed(const std::string& local, const std::string& bytes) {
  WriteLocalFile(local, bytes);
  const int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
  const bool flushed = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!flushed) throw std::runtime_error("cannot flush " + local);
}
#endif

// The file's bytes, or nothing when it cannot be opened.
inline std::optional<std::string> ReadLocalFile(const std::string& local) {
  std::ifstream in(local, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

}  // namespace trackrelay
