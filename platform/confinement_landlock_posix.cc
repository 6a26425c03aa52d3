// Landlock on Linux: the folders the process may reach, with the rights each gets, and (from ABI
// 4 and 6) no TCP and no signals beyond itself. Debian 12's headers know Landlock's first ABIs
// only, so what the later ones add is defined here.
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/confinement.h"
#include "platform/confinement_posix.h"
#include "platform/drive_path.h"
#include "platform/kernel32.h"
#include "platform/text_rules.h"
#include "platform/unique_handle.h"

namespace trackrelay {
namespace {

constexpr unsigned kLandlockCreateRulesetVersion = 1u << 0;
constexpr int kLandlockRulePathBeneath = 1;

// File rights, by the ABI that brought them.
constexpr std::uint64_t kFsWriteFile = 1ull << 1;
constexpr std::uint64_t kFsReadFile = 1ull << 2;
constexpr std::uint64_t kFsReadDir = 1ull << 3;
constexpr std::uint64_t kFsRemoveFile = 1ull << 5;
constexpr std::uint64_t kFsMakeReg = 1ull << 8;
constexpr std::uint64_t kFsAbi1 = (1ull << 13) - 1;  // all of ABI 1, executing to making links
constexpr std::uint64_t kFsRefer = 1ull << 13;        // ABI 2: link or rename into another folder
constexpr std::uint64_t kFsTruncate = 1ull << 14;     // ABI 3
constexpr std::uint64_t kFsIoctlDev = 1ull << 15;     // ABI 5
// ABI 4: TCP.
constexpr std::uint64_t kNetBindTcp = 1ull << 0;
constexpr std::uint64_t kNetConnectTcp = 1ull << 1;
// ABI 6: what lies outside the process's own domain.
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ull << 0;
constexpr std::uint64_t kScopeSignal = 1ull << 1;

struct LandlockRulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};

struct __attribute__((packed)) LandlockPathBeneathAttr {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
};

}  // namespace

int LandlockAbi() {
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, kLandlockCreateRulesetVersion);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

namespace {

// Everything of the files that the ABI can refuse is refused unless a folder's rule grants it:
// executing, making folders, devices, pipes, sockets and links, moving a file into another folder,
// truncating, device ioctls.
std::uint64_t HandledFileRights(int abi) {
  std::uint64_t rights = kFsAbi1;
  if (abi >= 2) rights |= kFsRefer;
  if (abi >= 3) rights |= kFsTruncate;
  if (abi >= 5) rights |= kFsIoctlDev;
  return rights;
}

std::uint64_t LandlockRights(unsigned rights) {
  std::uint64_t granted = 0;
  if (rights & kReadFiles) granted |= kFsReadFile;
  if (rights & kListNames) granted |= kFsReadDir;
  if (rights & kWriteFiles) granted |= kFsWriteFile;
  if (rights & kMakeFiles) granted |= kFsMakeReg;
  if (rights & kRemoveFiles) granted |= kFsRemoveFile;
  return granted;
}

// The drive of a drive path, 'c' for c:\woe; 0 for anything else.
char DriveOf(const std::string& drive_path) {
  if (drive_path.size() < 2 || drive_path[1] != ':' || !IsAsciiLetter(drive_path[0])) return 0;
  return static_cast<char>(drive_path[0] | 0x20);
}

// The folder at a drive path below its drive's folder, opened as the file system's walk reaches
// it (drive_walk_posix.cc): the first folder below c: through its link, every other folder
// refusing a link. Invalid when it cannot be reached now: a request that needs it fails on its
// own walk with the same page as before, and one that finds it later (a share mounted meanwhile)
// is refused the access instead.
UniqueDescriptor OpenFolderBelow(int drive_folder, char drive, const std::string& drive_path) {
  UniqueDescriptor folder;
  bool administrators = drive == 'c';
  for (const std::string& name : PathNames(std::string_view(drive_path).substr(2))) {
    if (StaysInFolder(name)) continue;
    if (name == "..") return UniqueDescriptor();
    const int follow = administrators ? 0 : O_NOFOLLOW;
    administrators = false;
    const int from = folder.valid() ? folder.get() : drive_folder;
    folder = UniqueDescriptor(openat(from, name.c_str(), O_PATH | O_DIRECTORY | follow | O_CLOEXEC));
    if (!folder.valid()) break;
  }
  return folder;
}

// Adds the folders' rules to the ruleset. Each drive's own folder is opened once, as the
// administrator set it up (a link to a mount point included), and its folders are reached in
// the order given; once one of them cannot be reached, the drive's later ones are not tried: on
// a share that hangs each try would wait for the client to give up, and the request, which needs
// the first before the others, fails at it all the same.
void AddFolderRules(int ruleset, std::uint64_t handled, const std::vector<FolderAccess>& folders) {
  char drive = 0;
  UniqueDescriptor drive_folder;
  for (const FolderAccess& access : folders) {
    const char letter = DriveOf(access.folder);
    if (letter == 0) continue;
    if (letter != drive) {
      drive = letter;
      drive_folder = UniqueDescriptor(
          open(MapDrivePath(access.folder.substr(0, 2)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!drive_folder.valid()) continue;
    const UniqueDescriptor folder = OpenFolderBelow(drive_folder.get(), letter, access.folder);
    if (!folder.valid()) {
      drive_folder.Reset();
      continue;
    }
    LandlockPathBeneathAttr rule{LandlockRights(access.rights) & handled, folder.get()};
    if (rule.allowed_access == 0) continue;
    // A folder whose rule the kernel refuses stays out of reach, as every folder does by default.
    syscall(SYS_landlock_add_rule, ruleset, kLandlockRulePathBeneath, &rule, 0);
  }
}

#if defined(TRACKRELAY_SANITIZER_RUNTIME)
// What the sanitizer's runtime reads: the process's own memory map and threads at the end, for the
// leak check, and the program's file and its libraries, from which it symbolizes its reports
// itself. The process's folder of /proc is made anew at each look-up once nothing holds it, and a
// rule holds for the one it was given: it stays open to the end.
void AllowTheSanitizerRuntime(int ruleset) {
  UniqueDescriptor own(open("/proc/self", O_PATH | O_DIRECTORY | O_CLOEXEC));
  LandlockPathBeneathAttr proc{kFsReadFile | kFsReadDir, own.get()};
  if (own.valid()) syscall(SYS_landlock_add_rule, ruleset, kLandlockRulePathBeneath, &proc, 0);
  own.Release();
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* set) {
        const char* name = info->dlpi_name[0] != '\0' ? info->dlpi_name : "/proc/self/exe";
        const UniqueDescriptor image(open(name, O_PATH | O_CLOEXEC));
        LandlockPathBeneathAttr read{kFsReadFile, image.get()};
        if (image.valid()) syscall(SYS_landlock_add_rule, *static_cast<int*>(set), kLandlockRulePathBeneath, &read, 0);
        return 0;
      },
      &ruleset);
}
#endif

}  // namespace

int ApplyLandlock(int abi, const std::vector<FolderAccess>& folders) {
  if (abi <= 0) return 0;
  LandlockRulesetAttr attr{HandledFileRights(abi), 0, 0};
  std::size_t size = offsetof(LandlockRulesetAttr, handled_access_net);
  if (abi >= 4) {
    // No rule grants a port: neither binding nor connecting over TCP.
    attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
    size = offsetof(LandlockRulesetAttr, scoped);
  }
  if (abi >= 6) {
    attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
    size = sizeof attr;
  }
  UniqueDescriptor ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0)));
  if (!ruleset.valid()) return 0;
  AddFolderRules(ruleset.get(), attr.handled_access_fs, folders);
#if defined(TRACKRELAY_SANITIZER_RUNTIME)
  AllowTheSanitizerRuntime(ruleset.get());
#endif
  return syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0 ? abi : 0;
}

}  // namespace trackrelay
