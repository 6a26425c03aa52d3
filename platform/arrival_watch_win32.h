// The Windows watch that ends a wait when the answer lands: ReadDirectoryChangesW on the folder
// of the awaited file. The Windows System's WatchForArrival and AwaitArrival run on it.
#pragma once

#include <string>

#include "platform/kernel32.h"

namespace trackrelay {

// Arms the watch on the folder of path (a path as the Win32 file API takes it), replacing any
// watch armed before; the program awaits one file at a time. Where the folder cannot be watched
// (it is gone, it is a reparse point, or its file system reports no changes), nothing is armed
// and nothing is said.
void ArmArrivalWatch(const std::string& path);

// Waits up to milliseconds for the file at path, as System::AwaitArrival says: wakes when the
// folder reports it renamed in under exactly that name, or written and no longer open for
// writing, or when the folder lost count of its changes; returns the milliseconds then left (at
// least 1), or 0 when the whole time passed. Without a watch armed for path it sleeps.
DWORD AwaitArrivalOf(const std::string& path, DWORD milliseconds);

}  // namespace trackrelay
