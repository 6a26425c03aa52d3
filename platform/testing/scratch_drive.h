// A scratch drive for tests that use real files: a temporary folder that stands for the drives
// (ROOT\c\woe, ROOT\r\fromnt, ROOT\r\tont) while the object lives. Tests only; both platforms.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace trackrelay {

// Whether another open of the file at the local path can take a write lock of the one byte at
// offset slot now (a lock of the open file, as the program's own locks are).
bool ByteIsFree(const std::string& local, std::int64_t slot);

// Holds a write lock of the one byte at offset slot of the existing file at the local path, through
// an open of its own, until it goes: as another process that holds the program's lock and never
// lets go would hold it. held() tells whether it got the lock.
class HeldByte {
 public:
  HeldByte(const std::string& local, std::int64_t slot);
  ~HeldByte();
  HeldByte(const HeldByte&) = delete;
  HeldByte& operator=(const HeldByte&) = delete;
  bool held() const { return held_; }

 private:
  std::intptr_t handle_;
  bool held_ = false;
};

// While it lives, the drive paths of the program ("r:\tont\41.out") lead into the folder:
// X:\a\b is ROOT\x\a\b. On POSIX the program maps them so itself, from TRACKRELAY_DRIVE_ROOT,
// which the drive points at the folder. On Windows the program takes drive paths as they
// stand, and the drive letters are the whole machine's: the drive puts a System in front of the
// real one (SubstituteSystem) that maps each path the same way before the real System sees it,
// so that tests run side by side, each on a drive of its own. The drive removes the folder with
// all it holds when it goes (on Windows, but for files whose claims the process still holds).
// One drive at a time.
class ScratchDrive {
 public:
  ScratchDrive();
  ~ScratchDrive();
  ScratchDrive(const ScratchDrive&) = delete;
  ScratchDrive& operator=(const ScratchDrive&) = delete;

  // A drive path as a path of this machine; any other path as it stands.
  std::string Local(const std::string& drive_path) const;
  void Write(const std::string& drive_path, const std::string& bytes) const;
  // The file's bytes; "<missing>" when there is no such file.
  std::string Read(const std::string& drive_path) const;
  // Whether anything stands at the path, a link to nothing included.
  bool Exists(const std::string& drive_path) const;
  void MakeFolder(const std::string& drive_path) const;
  // Removes the file or folder with all it holds.
  void Remove(const std::string& drive_path) const;
  // Renames a file, over whatever file has the new name.
  void Rename(const std::string& from, const std::string& to) const;
  // A second name for the file at existing.
  void HardLink(const std::string& existing, const std::string& link) const;
  // Makes the file read-only for everyone (mode 0444; the read-only attribute on Windows).
  void MakeReadOnly(const std::string& drive_path) const;
  // Sets when the file was last written, in milliseconds since 1970.
  void SetModified(const std::string& drive_path, std::int64_t ms) const;

 private:
  struct Mapping;  // what each platform keeps to point the drive paths here and back
  std::string root_;
  std::unique_ptr<Mapping> mapping_;
};

}  // namespace trackrelay
