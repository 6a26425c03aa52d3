// The System interface: the files, the clock and the arrival watch the relay works with, as one
// POSIX and one Windows implementation give them; tests substitute a fake System.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel32.h"

namespace trackrelay {

// Sequential reading of a text file. Lines end at CR or CR LF; a lone LF stays in the line and
// the last line may lack its end. Bytes pass unchanged.
class TextFileReader {
 public:
  virtual ~TextFileReader() = default;
  virtual bool AtEnd() = 0;
  // The next line without its line end; raises kInputPastEnd when there is none.
  virtual std::string ReadLine() = 0;
  // The next line in parts, so that a line of any length is never held whole: the next part of
  // the line under way, at most limit bytes (1 at least), in place of part's contents, and true
  // when the part ends its line (the line end is no part of it). A line of up to limit bytes
  // comes whole in one part; a longer one in parts of exactly limit bytes and a last one of up
  // to limit. Raises kInputPastEnd when no line is left.
  virtual bool ReadLinePart(std::string& part, std::size_t limit) = 0;
};

// What stands at a drive path, as the walk below the drive finds it without following a link.
enum class EntryKind {
  kMissing,      // nothing of that name in its folder
  kUnreachable,  // its folder is missing or reached through a link, or its drive is away
  kFolder,
  kPlainFile,    // a regular file
  kLink,         // a symbolic link or reparse point, or a link that the file system follows unasked
  kOther,        // a pipe, a device, a socket
};

struct EntryFacts {
  EntryKind kind = EntryKind::kMissing;
  // When it was last written, in milliseconds since 1970 by the clock of the machine that keeps
  // it (a share's server): only differences between entries of one drive tell anything.
  std::int64_t modified_ms = 0;
};

// Where a drive letter leads on this machine.
struct DriveFacts {
  bool present = false;  // its folder can be reached
  bool network = false;  // a network or FUSE file system, whose other writers this machine never hears
  std::string description;  // for a person: the folder or device, a link's target, the file system
};

// Who besides its owner may read a file that WriteTextFile makes. On POSIX the mode it is made
// with, which the process's umask may narrow further; on Windows a new file takes the access
// list of its folder whatever is asked, and that list is what keeps the folder's files private.
enum class Readers {
  kEveryone,       // 0666: whoever the folder lets in
  kOwnerAndGroup,  // 0640: its owner, and its group for reading
  kOwner,          // 0600: its owner alone
};

// The ways of a rename that never replaces, in the order RenameNoReplace tries them: a rename
// that refuses to replace, a hard link and a removal, or a look at the target and a plain rename.
enum class RenameWay { kNoReplaceRename, kHardLink, kCheckedRename };

// The files and the clock the relay works with. Paths are drive paths as above. Every error is
// raised as a Failure: missing file 53, missing folder or drive 76, existing target 58, access or
// read-only 70, past the end 62, anything else 57.
//
// Nothing on a drive is trusted: below the drive itself (on POSIX below ROOT/x, which may be a
// link to where the drive is mounted) no symbolic link or reparse point is followed, neither to
// a folder nor to a file. A folder reached through one counts as missing (76); a file that is
// one is no plain file. The one link that is followed is the first folder below c:, the web
// server's own disk (c:\woe itself, not what lies in it): only the administrator makes it, and
// may make it a link to a folder on a share that several web servers use. Files are opened
// without waiting, and only regular files are read. A passing "busy" of a network share on a
// delete or a rename is retried for about a second. A file replaced through another client of a
// share between the look-up of its name and its use raises StaleFileFailure (57).
class System {
 public:
  virtual ~System() = default;

  // Writes text, unchanged, to a new file at path that readers may read, and closes it.
  // Whatever stood at path before (a stale file, a link, a pipe) is removed first, never written
  // through; a file that appears there meanwhile fails the write with 58. The bytes are on the
  // disk (on a share, on its server's disk) when it returns: a rename may show the file to
  // another party at once, and a power cut must never leave a file under its final name shorter
  // than it was written. A file system that cannot flush (it has no flush, or answers that it
  // cannot) is taken as it is.
  virtual void WriteTextFile(const std::string& path, std::string_view text, Readers readers) = 0;
  // As WriteTextFile, and the new file takes the permissions of the file at like_path, and its
  // owner and group where the process may set them, so that it can later replace that file
  // without widening who may read it; it is its owner's alone until then (and when like_path
  // is empty or names no plain file). On POSIX only the bits a confined process may give are
  // taken (kGrantablePermissions): never a set-ID or sticky bit, nor write for others.
  virtual void WriteTextFileLike(const std::string& path, std::string_view text, const std::string& like_path) = 0;
  // Puts what was written to the existing plain file at path on the disk, as WriteTextFile does
  // for the files it writes: for a file that another party wrote and a rename is to hand on.
  // Anything but a plain file fails with 70.
  virtual void FlushFile(const std::string& path) = 0;
  // Puts the names in the folder of path on the disk ("r:\\tont\\" for r:\tont itself): what was
  // created, renamed or removed there survives a power cut once it returns. A file system that
  // cannot flush a folder (some FUSE mounts answer EINVAL) is taken as it is; false then, true
  // when the names were flushed. Any other error raises.
  virtual bool FlushFolder(const std::string& path) = 0;
  // Opens an existing regular file for reading; anything else (a folder, a pipe, a device, a
  // link) fails with 70.
  virtual std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) = 0;
  // Waits up to longest_wait_ms for an exclusive lock on byte lock_slot of the file at lock_path,
  // then opens the existing file at path for reading; the lock is held until the reader is
  // destroyed. A lock that another holds all that time raises LockTimeoutFailure (70), and the
  // file at path is not opened; 0 tries once. The lock file is made when missing and is never written, renamed or
  // replaced, so that the lock outlives every replacement of the file at path and a waiter never
  // wakes to a file that has gone; on a network share it is a byte-range lock that the file
  // server enforces for all its clients. Never creates the file at path, which may be replaced
  // while the lock is held.
  virtual std::unique_ptr<TextFileReader> OpenTextFileLocked(const std::string& path, const std::string& lock_path,
                                                             std::int64_t lock_slot, std::uint64_t longest_wait_ms) = 0;
  // Renames a file within its folder; fails with 58 and changes nothing when the target exists.
  // On a share that offers neither a no-replace rename nor hard links, the target is checked
  // and then the file renamed: the caller holds the claim (ClaimForProcess) that keeps every
  // other creator of the target away.
  virtual void RenameNoReplace(const std::string& from, const std::string& to) = 0;
  // Renames a file over an existing one in a single step, and flushes the folder (FlushFolder),
  // so that a power cut brings back neither the old file nor the name from. A flush that fails
  // raises although the rename was made.
  virtual void RenameReplacing(const std::string& from, const std::string& to) = 0;
  virtual void RemoveFile(const std::string& path) = 0;
  // The stored name of the plain file at path (a regular file with one name: not a folder, link,
  // pipe, hidden or system file), or empty text when there is none; also empty when its folder
  // or drive is not available.
  virtual std::string LookUpPlainFile(const std::string& path) = 0;
  // Claims slot (0 and up; requests take 0 to 65535, one a number) of the claims file at path
  // for the rest of this process, creating the file when it is missing; raises 58 when another
  // process holds that slot, on this machine or, on a network share whose file server enforces
  // byte-range locks, on any of its clients. The end of the process releases the claim however
  // it ends.
  //
  // Whoever may open a lock file at all may hold its bytes (a read lock needs no more than
  // reading), so on POSIX the claims file, here and as OpenTextFileLocked's lock_path, is made
  // readable and writable by its owner alone, or by its group too in a set-group-ID folder (the
  // group of a farm's web servers), whatever the umask; one found wider (made by an older build,
  // or by hand) is narrowed so where the process may change it: the group keeps read and write
  // only together, others keep nothing. On Windows it takes its folder's access list.
  virtual void ClaimForProcess(const std::string& path, int slot) = 0;
  virtual void Sleep(DWORD milliseconds) = 0;
  // Milliseconds from an arbitrary start on a clock that only ever moves forward, whatever
  // happens to the time of day: what the length of a wait is measured with.
  virtual std::uint64_t MonotonicMilliseconds() = 0;
  // Sets up a watch on the folder of path ("r:\\tont\\" for r:\tont itself), reached as every
  // folder is, for the file that WatchForArrival names later; replaces any watch set up before.
  // Set it up before the process shuts itself in (ConfineProcess): on POSIX a confined process
  // may make no watch, so that code which took it over cannot watch folders beyond its exchange.
  // Where the folder cannot be watched (it is gone, or on a network or FUSE mount, whose
  // notifications never tell of another machine's writes), nothing is set up and nothing is said.
  virtual void WatchFolder(const std::string& path) = 0;
  // Names path, a file in the folder that WatchFolder set up (the folder written as it was
  // there), as the one whose arrival from now on can end a wait of AwaitArrival early; what
  // arrived before does not count. Name it before whatever prompts the file, or its arrival may
  // come first. A path in another folder, or no folder watched, arms nothing, silently.
  virtual void WatchForArrival(const std::string& path) = 0;
  // Waits up to milliseconds. Wakes sooner only for the very path that WatchForArrival named,
  // compared as written: when its folder reports a file renamed into it under exactly that name
  // (on Windows also one written there and no longer open for writing, which its reports tell at
  // no extra cost), and returns the milliseconds that were then left (at least 1); 0 when the
  // whole time passed. Never wakes for a file that was merely created. Without a watch, or for
  // another path than the one named, it sleeps the whole time.
  virtual DWORD AwaitArrival(const std::string& path, DWORD milliseconds) = 0;

  // What the installation check (trackrelay-check) looks at; no request needs them.
  //
  // Where drive letter leads, "r" for r:.
  virtual DriveFacts DescribeDrive(char letter) = 0;
  // What stands at path; a folder is named without a trailing separator ("r:\\fromnt"). Never
  // raises: what cannot be told is kUnreachable.
  virtual EntryFacts DescribeEntry(const std::string& path) = 0;
  // The names in the folder of path ("r:\\fromnt\\" for r:\fromnt itself), reached as every
  // folder is, in no order and without "." and "..".
  virtual std::vector<std::string> ListFolder(const std::string& path) = 0;
  // Whether this process may rename a file over the plain file at path, as the counter's
  // replacement is renamed over the counter: false for anything but a plain file, and for a file
  // that the folder's permissions, the file's own or a read-only attribute keep in place.
  virtual bool MayReplace(const std::string& path) = 0;
  // RenameNoReplace, and which way the file system let it take.
  virtual RenameWay RenameNoReplaceTellingHow(const std::string& from, const std::string& to) = 0;
};

// The real System of this platform, made at the first call: the POSIX or the Windows file
// system, whichever file_system_posix.cc or file_system_win32.cc was built. CurrentSystem()
// hands it out unless a test substituted its own.
System& RealSystem();

// The System the program runs against: the real one, unless a test substituted its own.
System& CurrentSystem();
// Tests only: nullptr puts the real one back.
void SubstituteSystem(System* system);

}  // namespace trackrelay
