// The confinement's two parts on Linux, each in a file of its own: Landlock for files, TCP and
// signals (confinement_landlock_posix.cc), and the seccomp filter for the calls it leaves open.
#pragma once

#include <vector>

#include "platform/confinement.h"

// A sanitizer build (GCC's macro, clang's feature test) reads its own memory map and stops its
// threads with ptrace for the leak check at the end of the process.
#if defined(__SANITIZE_ADDRESS__)
#define TRACKRELAY_SANITIZER_RUNTIME 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRACKRELAY_SANITIZER_RUNTIME 1
#endif
#endif

namespace trackrelay {

// The Landlock ABI this kernel offers; 0 when none.
int LandlockAbi();
// Builds and applies the ruleset for the folders; the ABI applied, or 0. The caller has set
// no_new_privs.
int ApplyLandlock(int abi, const std::vector<FolderAccess>& folders);

// Whether this kernel takes a system call filter.
bool SeccompOffered();
// Installs the filter on this process; whether it took. The caller has set no_new_privs.
bool ApplySeccomp();

}  // namespace trackrelay
