// Where a drive letter leads and what file system holds it (the mount table on Linux, the drive's
// type on Windows): what the installation check is told, and whether a folder's watch can wake.
#pragma once

#include "platform/system.h"

namespace trackrelay {

// Where drive letter leads on this machine, "r" for r:.
DriveFacts FactsOfDrive(char letter);

#ifndef _WIN32
// Whether the open folder lies on a network or FUSE mount, whose notifications report only what
// this machine did, never the remote host's writes; true also when it cannot be told.
bool OnRemoteMount(int folder);
#endif

}  // namespace trackrelay
