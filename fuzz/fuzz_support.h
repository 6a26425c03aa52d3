// What the fuzz targets on files share: a drive root in memory, and the line rule as a model.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace trackrelay::fuzz {

// A drive root made once per fuzzing process, in /dev/shm when there is one: the counter is
// flushed to disk on every allocation, which tmpfs makes free. TRACKRELAY_DRIVE_ROOT points at it,
// and it goes when the process ends normally.
inline const std::string& ScratchDriveRoot() {
  // Never destroyed, so the handler at exit still has the name.
  static const std::string* root = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string name = std::string(base) + "/trackrelay-fuzz-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    for (const char* folder : {"/c/woe", "/r/fromnt", "/r/tont"}) std::filesystem::create_directories(name + folder);
    setenv("TRACKRELAY_DRIVE_ROOT", name.c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchDriveRoot(), ignored);
    });
    return new std::string(name);
  }();
  return *root;
}

// The lines of a text file, one byte at a time: CR ends a line, and an LF right after it belongs
// to that end; any other byte, a lone LF included, is part of its line. The last line may lack
// its end; nothing after the last end is no line.
inline std::vector<std::string> ModelLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::string current;
  bool open = false;      // a line has begun and not ended
  bool after_cr = false;  // the byte before was a CR
  for (char c : bytes) {
    if (after_cr && c == '\n') {
      after_cr = false;
      continue;
    }
    after_cr = c == '\r';
    if (after_cr) {
      lines.push_back(current);
      current.clear();
      open = false;
    } else {
      current += c;
      open = true;
    }
  }
  if (open) lines.push_back(current);
  return lines;
}

// Ends the run with a message, which libFuzzer reports with the input that caused it.
[[noreturn]] inline void Broken(const char* property) {
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

}  // namespace trackrelay::fuzz
