// What a scratch drive does alike on both platforms, once it has a local path.
#include "platform/testing/scratch_drive.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace trackrelay {

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

}  // namespace trackrelay
