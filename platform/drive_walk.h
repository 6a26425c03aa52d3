// The walk from a drive to the folder of a drive path, folder by folder, following no link below
// the drive, and the open of the plain file it leads to: how every System operation reaches a file.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel32.h"
#include "platform/unique_handle.h"

namespace trackrelay {

#ifdef _WIN32

// Others may read, write, rename and delete a file while this program has it open: the remote
// host removes and rewrites its files on its own schedule, and must never be refused for it.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Where a drive path leads: the folders below the drive down to the file's, each held open, and
// the name in the last of them. final is that folder's final path, empty when the drive cannot
// tell final paths.
struct Place {
  std::vector<UniqueHandle> held;
  std::string folder;
  std::string final;
  std::string name;
  std::string Path() const { return folder + "\\" + name; }
};

// Reaches the folder of a path. Returns 0 and fills place, or the failure number (76 for a
// folder reached through a link).
int TryReach(const std::string& path, Place& place);
// As TryReach, raising the failure.
Place Reach(const std::string& path);

// Where the file system says an open file really is, all links and reparse points resolved
// ("\\?\C:\a\b"), without a trailing backslash; empty when it cannot tell.
std::string FinalPathOf(HANDLE file);

// Whether an open handle is the entry at the place, not what a link that the file system
// followed leads to.
bool IsEntryItself(const Place& place, HANDLE entry);

// Whether the open handle is a regular file that lives at the place itself: a disk file (no
// pipe, console or device), no folder, no reparse point, and not reached through a link that the
// file system followed on the way, which its final path would show. When told is given, it
// receives what the file system said of the file.
bool IsPlainFileAt(const Place& place, HANDLE file, BY_HANDLE_FILE_INFORMATION* told = nullptr);

// Opens the entry at the place itself to delete or rename it: a reparse point as itself, never a
// folder (access denied, as for a delete), and sharing everything. Returns 0 or the error.
DWORD OpenEntry(const Place& place, UniqueHandle& entry);

// Opens the plain file at the place for reading; anything else fails with 70.
UniqueHandle OpenRegular(const Place& place);

#else

// Where a drive path leads: its folder, reached without following a link below the drive, and
// the name in it.
struct Place {
  UniqueDescriptor folder;
  std::string name;
};

// Reaches the folder of a drive path. readable asks for a folder descriptor that can be synced;
// otherwise a path descriptor does, which costs a network share no open. Returns 0 and fills
// place, or the failure number (76 for a folder that is missing or reached through a link).
int TryReach(const std::string& path, bool readable, Place& place);
// As TryReach, raising the failure.
Place Reach(const std::string& path, bool readable = false);

// The listing of the folder open at folder, from its start; none, with errno telling why, when it
// cannot be read.
UniqueListing ListingOf(int folder);

// Opens the named regular file of the place for reading; anything else fails with 70.
UniqueDescriptor OpenRegular(const Place& place);

#endif

}  // namespace trackrelay
