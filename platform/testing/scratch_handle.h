// Scratch handles for in-process tests: a file or a pipe that code under test writes to as StdOut.
// Tests only; scratch_handle_posix.cc and scratch_handle_win32.cc make them.
#pragma once

#include <string>

#include "platform/kernel32.h"

namespace trackrelay {

class ScratchHandle {
 public:
  // A fresh temporary file that already holds initial, positioned at its start.
  static ScratchHandle File(const std::string& initial = "");
  // The writing end of a pipe, drained into memory as it fills.
  static ScratchHandle Pipe();
  // A handle of which the given bytes can be read, then the end of input.
  static ScratchHandle Input(const std::string& bytes);

  ScratchHandle(ScratchHandle&& other) noexcept;
  ScratchHandle& operator=(ScratchHandle&&) = delete;
  ~ScratchHandle();

  HANDLE handle() const;
  // Everything written so far (the whole file, for a file).
  std::string Contents();

 private:
  struct State;
  // Through the kernel32 routines, alike on both platforms: all of bytes, or a throw; and all
  // there is to read, until the end of the file or until every writing end of a pipe is closed.
  static void WriteAll(HANDLE handle, const std::string& bytes);
  static std::string ReadAll(HANDLE handle);
  explicit ScratchHandle(State* state) : state_(state) {}
  State* state_;
};

}  // namespace trackrelay
