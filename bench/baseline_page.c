/* The C yardstick for trackrelay's process cost: a minimal static C program that writes the same
 * lines as trackrelay does on a path that never waits (baseline_lines.h), one write(2) a line as
 * trackrelay's SendLine makes them, and does nothing else but end with trackrelay's status. */
#include <string.h>
#include <unistd.h>

#include "baseline_lines.h"

int main(void) {
  for (size_t i = 0; i < sizeof kLines / sizeof kLines[0]; ++i) {
    if (write(1, kLines[i], strlen(kLines[i])) < 0) return 1;
  }
  return BASELINE_EXIT_STATUS;
}
