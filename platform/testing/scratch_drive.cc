// What a scratch drive does alike on both platforms, once it has a local path.
#include "platform/testing/scratch_drive.h"

#include "platform/testing/local_files.h"

namespace trackrelay {

void ScratchDrive::Write(const std::string& drive_path, const std::string& bytes) const {
  WriteLocalFile(Local(drive_path), bytes);
}

std::string ScratchDrive::Read(const std::string& drive_path) const {
  return ReadLocalFile(Local(drive_path)).value_or("<missing>");
}

}  // namespace trackrelay
