// The C++ yardstick for trackrelay's process cost: the floor of a C++ program that starts on every
// request. A minimal static PIE, linked as any C++ program is by default, that writes the lines of
// baseline_lines.h each through a std::string, one write(2) a line, and does nothing else: it pays
// for the C++ runtime that any such program links (libstdc++, its exception support) and for the
// self-relocation of a static PIE, but raises nothing and reads no environment. It ends with
// trackrelay's status after that page.
#include <unistd.h>

#include <string>

#include "baseline_lines.h"

int main() {
  for (const char* text : kLines) {
    std::string line(text);
    if (write(1, line.data(), line.size()) < 0) return 1;
  }
  return BASELINE_EXIT_STATUS;
}
