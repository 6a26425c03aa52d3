#include "platform/scratch_drive.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
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

ScratchDrive::ScratchDrive() {
  char name[] = "/tmp/trackrelay-drive-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = name;
  chmod(name, 0755);  // tests that drop privileges still reach the drives
  if (const char* previous = getenv("TRACKRELAY_DRIVE_ROOT")) {
    previous_root_ = previous;
    had_previous_root_ = true;
  }
  setenv("TRACKRELAY_DRIVE_ROOT", name, 1);
  for (const char* folder : {"c:\\woe", "r:\\fromnt", "r:\\tont"}) MakeFolder(folder);
}

ScratchDrive::~ScratchDrive() {
  if (had_previous_root_) {
    setenv("TRACKRELAY_DRIVE_ROOT", previous_root_.c_str(), 1);
  } else {
    unsetenv("TRACKRELAY_DRIVE_ROOT");
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string ScratchDrive::Local(const std::string& drive_path) const { return MapDrivePath(drive_path); }

void ScratchDrive::Write(const std::string& drive_path, const std::string& bytes) const {
  std::ofstream out(Local(drive_path), std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + Local(drive_path));
}

std::string ScratchDrive::Read(const std::string& drive_path) const {
  std::ifstream in(Local(drive_path), std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool ScratchDrive::Exists(const std::string& drive_path) const {
  struct stat st;
  return lstat(Local(drive_path).c_str(), &st) == 0;
}

void ScratchDrive::MakeFolder(const std::string& drive_path) const {
  fs::create_directories(Local(drive_path));
  for (fs::path p = Local(drive_path); p.string().size() > root_.size(); p = p.parent_path()) chmod(p.c_str(), 0755);
}

void ScratchDrive::Remove(const std::string& drive_path) const { fs::remove_all(Local(drive_path)); }

}  // namespace trackrelay
