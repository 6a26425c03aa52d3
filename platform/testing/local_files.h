// Whole files of this machine written and read by path, for tests that set up and inspect a
// drive from outside the program. Tests only; header alone, so that any test harness can use it.
#pragma once

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

// The file's bytes, or nothing when it cannot be opened.
inline std::optional<std::string> ReadLocalFile(const std::string& local) {
  std::ifstream in(local, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

}  // namespace trackrelay
