// The mount facts on Windows: the drive's type, whether its root is there, and what its letter
// stands for (a share's path, a SUBST's folder, a disk's device).
#include <string>

#include "platform/kernel32.h"
#include "platform/mount_facts.h"

namespace trackrelay {

DriveFacts FactsOfDrive(char letter) {
  DriveFacts facts;
  const std::string root = std::string(1, letter) + ":\\";
  const UINT type = GetDriveTypeA(root.c_str());
  const DWORD attributes = GetFileAttributesA(root.c_str());
  facts.present = type != DRIVE_NO_ROOT_DIR && type != DRIVE_UNKNOWN && attributes != INVALID_FILE_ATTRIBUTES &&
                  (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.network = type == DRIVE_REMOTE;
  facts.description = type == DRIVE_REMOTE      ? "a network drive"
                      : type == DRIVE_FIXED     ? "a fixed disk"
                      : type == DRIVE_REMOVABLE ? "a removable disk"
                      : type == DRIVE_CDROM     ? "a CD drive"
                      : type == DRIVE_RAMDISK   ? "a RAM disk"
                                                : "no drive";
  // What the letter stands for: a share's path, a SUBST's folder, a disk's device.
  char device[1024];
  if (QueryDosDeviceA(root.substr(0, 2).c_str(), device, sizeof device) != 0) {
    facts.description += std::string(" (") + device + ")";
  }
  return facts;
}

}  // namespace trackrelay
