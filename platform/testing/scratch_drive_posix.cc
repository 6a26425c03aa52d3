#include "platform/testing/scratch_drive.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "platform/drive_path.h"

namespace trackrelay {

namespace fs = std::filesystem;

bool ByteIsFree(const std::string& local, std::int64_t slot) {
  const int fd = open(local.c_str(), O_RDWR);
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = slot;
  range.l_len = 1;
  const bool free = fd >= 0 && fcntl(fd, F_OFD_SETLK, &range) == 0;
  if (fd >= 0) close(fd);
  return free;
}

HeldByte::HeldByte(const std::string& local, std::int64_t slot) : handle_(open(local.c_str(), O_RDWR | O_CLOEXEC)) {
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = slot;
  range.l_len = 1;
  held_ = handle_ >= 0 && fcntl(static_cast<int>(handle_), F_OFD_SETLK, &range) == 0;
}

HeldByte::~HeldByte() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

// The drive root the environment named before.
struct ScratchDrive::Mapping {
  std::string previous_root;
  bool had_previous_root = false;
};

ScratchDrive::ScratchDrive() : mapping_(std::make_unique<Mapping>()) {
  char name[] = "/tmp/trackrelay-drive-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = name;
  chmod(name, 0755);  // tests that drop privileges still reach the drives
  if (const char* previous = getenv("TRACKRELAY_DRIVE_ROOT")) {
    mapping_->previous_root = previous;
    mapping_->had_previous_root = true;
  }
  setenv("TRACKRELAY_DRIVE_ROOT", name, 1);
  for (const char* folder : {"c:\\woe", "r:\\fromnt", "r:\\tont"}) MakeFolder(folder);
}

ScratchDrive::~ScratchDrive() {
  if (mapping_->had_previous_root) {
    setenv("TRACKRELAY_DRIVE_ROOT", mapping_->previous_root.c_str(), 1);
  } else {
    unsetenv("TRACKRELAY_DRIVE_ROOT");
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string ScratchDrive::Local(const std::string& drive_path) const { return MapDrivePath(drive_path); }

bool ScratchDrive::Exists(const std::string& drive_path) const {
  struct stat st;
  return lstat(Local(drive_path).c_str(), &st) == 0;
}

void ScratchDrive::MakeFolder(const std::string& drive_path) const {
  fs::create_directories(Local(drive_path));
  for (fs::path p = Local(drive_path); p.string().size() > root_.size(); p = p.parent_path()) chmod(p.c_str(), 0755);
}

void ScratchDrive::Remove(const std::string& drive_path) const { fs::remove_all(Local(drive_path)); }

void ScratchDrive::Rename(const std::string& from, const std::string& to) const {
  if (rename(Local(from).c_str(), Local(to).c_str()) != 0) throw std::runtime_error("cannot rename " + Local(from));
}

void ScratchDrive::HardLink(const std::string& existing, const std::string& link) const {
  if (::link(Local(existing).c_str(), Local(link).c_str()) != 0) throw std::runtime_error("cannot link " + Local(link));
}

void ScratchDrive::MakeReadOnly(const std::string& drive_path) const {
  if (chmod(Local(drive_path).c_str(), 0444) != 0) throw std::runtime_error("cannot chmod " + Local(drive_path));
}

void ScratchDrive::SetModified(const std::string& drive_path, std::int64_t ms) const {
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000}};
  if (utimensat(AT_FDCWD, Local(drive_path).c_str(), times, 0) != 0) {
    throw std::runtime_error("cannot set the time of " + Local(drive_path));
  }
}

}  // namespace trackrelay
