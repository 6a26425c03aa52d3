// A scratch drive root for tests that use real files: a temporary folder that stands for the
// drives (ROOT/c/woe, ROOT/r/fromnt, ROOT/r/tont) while the object lives. Tests only; POSIX.
#pragma once

#include <cstdint>
#include <string>

namespace trackrelay {

// Whether another open of the file at the local path can take a write lock of the one byte at
// offset slot now (a lock of the open file, as the program's own locks are).
bool ByteIsFree(const std::string& local, std::int64_t slot);

// Points TRACKRELAY_DRIVE_ROOT at the folder while it lives, and removes it with all it holds.
class ScratchDrive {
 public:
  ScratchDrive();
  ~ScratchDrive();
  ScratchDrive(const ScratchDrive&) = delete;
  ScratchDrive& operator=(const ScratchDrive&) = delete;

  // A drive path ("r:\tont\41.out") as a path of this machine.
  std::string Local(const std::string& drive_path) const;
  void Write(const std::string& drive_path, const std::string& bytes) const;
  // The file's bytes; "<missing>" when there is no such file.
  std::string Read(const std::string& drive_path) const;
  bool Exists(const std::string& drive_path) const;
  void MakeFolder(const std::string& drive_path) const;
  // Removes the file or folder with all it holds.
  void Remove(const std::string& drive_path) const;

 private:
  std::string root_;
  std::string previous_root_;
  bool had_previous_root_ = false;
};

}  // namespace trackrelay
