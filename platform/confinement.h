// Confinement: the process shuts itself in before it reads any input, so that code which that
// input might one day run reaches the folders of its exchange and nothing else of the machine.
#pragma once

#include <string>
#include <vector>

namespace trackrelay {

// What the process does with the files of one folder, as bits of FolderAccess::rights.
enum FolderRight : unsigned {
  kReadFiles = 1u << 0,    // opens files for reading
  kListNames = 1u << 1,    // reads the folder's names, and opens the folder itself to flush it
  kWriteFiles = 1u << 2,   // opens files for writing
  kMakeFiles = 1u << 3,    // makes plain files, new ones and hard links of its own files
  kRemoveFiles = 1u << 4,  // removes files, and renames them within the folder, over another too
};

// The permission bits that a confined process may give a file of its own (fchmod): read, write
// and search for its owner and group, read and search for others. Never a set-user-ID, set-group-ID
// or sticky bit (a set-user-ID file in c:\\woe would run any local user's code as the web server's
// user), nor write for others (the counter would be anybody's to change).
inline constexpr unsigned kGrantablePermissions = 0775;

// One folder the process may reach, a drive path ("c:\\woe", "r:\\fromnt"), reached as the file
// system reaches it: the drive's own folder as the administrator set it up, c:'s first folder
// through its link when it is one, no other link followed. A drive's folders are reached in the
// order given, and once one cannot be reached the drive's later ones are not tried (on a share
// that hangs each try waits for its client): list first the one without which the rest is of no
// use.
struct FolderAccess {
  std::string folder;
  unsigned rights = 0;
};

// How far a process is shut in.
struct Confinement {
  // POSIX: the Landlock ABI its files (and, from ABI 4, TCP; from 6, signals and abstract
  // sockets) are confined by; 0 when Landlock is not used.
  int landlock_abi = 0;
  // POSIX: its system calls are filtered (seccomp).
  bool seccomp = false;
  // Windows: how many of the three process mitigation policies that a running process may set on
  // itself took (no dynamic code, no remote or low-integrity images, no extension points), and
  // whether it may start no child process, which Windows may refuse once a process runs.
  int mitigations = 0;
  bool no_child_processes = false;
};

// The confinement's levels, as the installation check names them.
enum class ConfinementLevel { kNone, kPartial, kWhole };

// Shuts this process in for the rest of its life. On POSIX, files only in the given folders with
// the given rights, nothing executed anywhere, no new sockets or processes, no signals beyond
// itself (nor any sent at a descriptor's events), no bits beyond kGrantablePermissions given to
// a file, no new folder watch (set one up before), no mounts, namespaces, tracing or kernel
// programs; on Windows the process mitigation
// policies (the folders are the access lists' to keep there). Takes what this system offers and
// never fails: where it offers nothing the process runs as before. A call that is refused then
// fails with an error; none ends the process. Standard descriptors that are closed are held open
// on /dev/null first (GetStdHandle would open it later, and could not once shut in).
Confinement ConfineProcess(const std::vector<FolderAccess>& folders);

// What ConfineProcess would get on this machine, found without confining anything.
Confinement OfferedConfinement();

ConfinementLevel LevelOf(const Confinement& confinement);

// For a person: "Landlock ABI 7 and seccomp", "3 of 3 process mitigation policies, ...".
std::string DescribeConfinement(const Confinement& confinement);

}  // namespace trackrelay
