// The process shut in on Linux: Landlock for its files, TCP connections and signals, and a seccomp
// filter for the system calls that Landlock does not cover (confinement_posix.h), in that order.
#include <sys/prctl.h>

#include <string>
#include <vector>

#include "platform/confinement.h"
#include "platform/confinement_posix.h"
#include "platform/kernel32.h"

namespace trackrelay {

Confinement ConfineProcess(const std::vector<FolderAccess>& folders) {
  HoldStandardDescriptors();
  Confinement got;
  // Both need it of a process without CAP_SYS_ADMIN; nothing of this program gains privileges
  // by an exec anyway, and it makes none.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return got;
  got.landlock_abi = ApplyLandlock(LandlockAbi(), folders);
  // Tried at once: a kernel without filters refuses it, and asking first would cost every
  // request a call.
  got.seccomp = ApplySeccomp();
  return got;
}

Confinement OfferedConfinement() {
  Confinement offered;
  offered.landlock_abi = LandlockAbi();
  offered.seccomp = SeccompOffered();
  return offered;
}

ConfinementLevel LevelOf(const Confinement& confinement) {
  if (confinement.landlock_abi > 0 && confinement.seccomp) return ConfinementLevel::kWhole;
  if (confinement.landlock_abi > 0 || confinement.seccomp) return ConfinementLevel::kPartial;
  return ConfinementLevel::kNone;
}

std::string DescribeConfinement(const Confinement& confinement) {
  const std::string landlock = "Landlock ABI " + std::to_string(confinement.landlock_abi);
  switch (LevelOf(confinement)) {
    case ConfinementLevel::kWhole:
      return landlock + " and seccomp";
    case ConfinementLevel::kPartial:
      return confinement.seccomp ? "seccomp alone, without Landlock" : landlock + " alone, without seccomp";
    case ConfinementLevel::kNone:
      break;
  }
  return "neither Landlock nor seccomp";
}

}  // namespace trackrelay
