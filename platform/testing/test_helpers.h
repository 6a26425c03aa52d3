// Small helpers that every test of real or fake files uses: the failure an action raised, every
// line of a reader. Tests only; header alone.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/system.h"

namespace trackrelay {

// The failure number the action raised, or 0 when it raised none.
inline int FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return failure.number();
  }
  return 0;
}

// Every line left in the reader, without their line ends.
inline std::vector<std::string> AllLines(TextFileReader& reader) {
  std::vector<std::string> lines;
  while (!reader.AtEnd()) lines.push_back(reader.ReadLine());
  return lines;
}

}  // namespace trackrelay
