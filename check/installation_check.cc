#include "check/installation_check.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "cgi/conversions.h"
#include "check/exchange_state.h"
#include "check/probe.h"
#include "platform/confinement.h"
#include "platform/drive_path.h"
#include "platform/failure.h"
#include "platform/system.h"
#include "platform/text_rules.h"
#include "relay/file_drop.h"
#include "relay/local_disk.h"
#include "relay/tracking_counter.h"
#include "relay/tracking_request.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace trackrelay::check {
namespace {

// Below this many numbers before 32767 the counter's end is near enough to say so.
constexpr int kFewNumbersLeft = 1000;
// How long a request waits for its answer; a request file or an answer older than that has
// outlived the request that made it.
constexpr std::int64_t kRequestWaitMs = std::int64_t{kLooksBeforeTimeout} * kPollIntervalMs;
// Requests claim slots 0 to 65535, one a number, and lock the next while they take a new number;
// this one is nobody's, so that a check never holds up a request on any web server of the farm.
constexpr int kProbeClaimSlot = static_cast<int>(kCounterLockSlot) + 1;
// How long the check waits for the counter's lock. A request holds it for milliseconds; one that
// holds it longer is stuck, and the check says so rather than wait as long as a request would.
constexpr std::uint64_t kCheckLockWaitMs = 10000;
// How long the inbound folder's watch may take to report the probe renamed into it.
constexpr DWORD kWatchProbeMs = 1000;

std::string Folder(std::string_view folder_with_separator) {
  return std::string(folder_with_separator.substr(0, folder_with_separator.size() - 1));
}

// The drive path, and on POSIX where it leads: "c:\woe (/var/lib/trackrelay/c/woe)".
std::string Shown(const std::string& drive_path) {
  const std::string local = MapDrivePath(drive_path);
  return local == drive_path ? drive_path : drive_path + " (" + local + ")";
}

std::string Explained(const Failure& failure) {
  return failure.message() + ", " + std::to_string(failure.number());
}

// The counter's line as a person can read it, whatever bytes it holds.
std::string Printable(std::string_view line) {
  std::string shown;
  for (char c : line.substr(0, 40)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 15];
    } else {
      shown += c;
    }
  }
  return line.size() > 40 ? shown + "..." : shown;
}

std::string Age(std::int64_t ms) {
  const std::int64_t s = ms / 1000;
  if (s < 120) return std::to_string(s) + " s";
  if (s < 7200) return std::to_string(s / 60) + " min";
  if (s < 172800) return std::to_string(s / 3600) + " h";
  return std::to_string(s / 86400) + " days";
}

// A function of the exchange that names the file of a number: RequestPath, ResponsePath.
using PathOfNumber = std::string (*)(std::int16_t);

class Checker {
 public:
  explicit Checker(const std::function<void(const Finding&)>& report)
      : report_(report), system_(CurrentSystem()), probe_(ProbeName()) {}

  void Run() {
    CheckUser();
    CheckDriveRoot();
    CheckConfinement();
    if (CheckDrive('c') && CheckFolder(Folder(kCounterFolder), kCounterFolderNeeds)) {
      ProbeCounterFolder();
      CheckCounter();
      CheckClaims();
    }
    if (!CheckDrive('r')) return;
    if (CheckFolder(Folder(kOutboundFolder), kOutboundNeeds)) {
      if (const std::optional<std::int64_t> now = ProbeOutbound()) CheckStaleFiles(kOutboundFolder, RequestPath, *now);
    }
    if (CheckFolder(Folder(kInboundFolder), kInboundNeeds)) {
      if (const std::optional<std::int64_t> now = ProbeInbound()) CheckStaleFiles(kInboundFolder, ResponsePath, *now);
    }
  }

 private:
  // The counter's folder, which holds the claims file too.
  static constexpr std::string_view kCounterFolder = kCounterPath.substr(0, kCounterPath.rfind('\\') + 1);
  static constexpr const char* kCounterFolderNeeds =
      "the web server's user must create, rename and delete files there (the counter is replaced, numbers are "
      "claimed in track.claims)";
  static constexpr const char* kOutboundNeeds = "the web server's user must create and rename files there";
  static constexpr const char* kInboundNeeds = "the web server's user must delete the remote host's answers there";

  void Ok(std::string text) { report_(Finding{Verdict::kOk, std::move(text)}); }
  void Warn(std::string text) { report_(Finding{Verdict::kWarning, std::move(text)}); }
  void Fail(std::string text) { report_(Finding{Verdict::kFail, std::move(text)}); }

  // Probe files, removed whatever happens once the object goes; a probe that cannot be removed
  // is a failure, for a person to remove.
  class Probes {
   public:
    Probes(Checker& checker, std::vector<std::string> paths) : checker_(checker), paths_(std::move(paths)) {}
    ~Probes() {
      for (const std::string& path : paths_) {
        if (checker_.system_.DescribeEntry(path).kind == EntryKind::kMissing) continue;
        try {
          checker_.system_.RemoveFile(path);
        } catch (const Failure& failure) {
          checker_.Fail("the probe file " + Shown(path) + " could not be removed (" + Explained(failure) +
                        "): remove it by hand");
        }
      }
    }
    Probes(const Probes&) = delete;
    Probes& operator=(const Probes&) = delete;

   private:
    InterruptsHeld held_;
    Checker& checker_;
    std::vector<std::string> paths_;
  };

  void CheckUser() {
#ifdef _WIN32
    char name[256];
    DWORD size = sizeof name;
    Ok(std::string("checking as ") + (GetUserNameA(name, &size) ? name : "a user whose name Windows does not tell") +
       "; run the check as the identity the web server runs the program as");
#else
    const uid_t uid = geteuid();
    const passwd* user = getpwuid(uid);
    const std::string name = user != nullptr ? user->pw_name : "uid " + std::to_string(uid);
    if (uid == 0) {
      Warn("checking as root, who may do what the web server's user may not: run the check as that user, for "
           "instance runuser -u www-data -- trackrelay-check");
    } else {
      Ok("checking as " + name + " (uid " + std::to_string(uid) + ")");
    }
#endif
  }

  void CheckDriveRoot() {
#ifdef _WIN32
    Ok("drive paths are used as they stand: c:\\woe\\track.txt, r:\\fromnt\\, r:\\tont\\");
#else
    std::string root = MapDrivePath("c:");
    root.resize(root.size() - 2);
    const char* set = std::getenv("TRACKRELAY_DRIVE_ROOT");
    if (set != nullptr && set[0] != '\0') {
      Ok("drive root " + root + ", from TRACKRELAY_DRIVE_ROOT");
    } else {
      Ok("drive root " + root + ", the built-in one (TRACKRELAY_DRIVE_ROOT is not set; where the web server sets "
             "it for the program, set it so for the check too)");
    }
#endif
  }

  // What the program would shut itself in with on this machine (docs/security.md, Confinement):
  // never a failure, since a request is served all the same.
  void CheckConfinement() {
    const Confinement offered = OfferedConfinement();
    const std::string how = DescribeConfinement(offered);
#ifdef _WIN32
    switch (LevelOf(offered)) {
      case ConfinementLevel::kWhole:
        Ok("the program confines itself here (" + how + "); which files it reaches is the access lists' to say: grant "
           "the identity it runs as c:\\woe, r:\\fromnt and r:\\tont and nothing else (docs/windows.md)");
        return;
      case ConfinementLevel::kPartial:
        Warn("the program confines itself only partly here (" + how + "); it serves requests all the same");
        return;
      case ConfinementLevel::kNone:
        Warn("the program is not confined here (" + how + "): this Windows lets a process set no mitigation policy "
             "on itself (Windows 8 and later do); it serves requests as before");
        return;
    }
#else
    switch (LevelOf(offered)) {
      case ConfinementLevel::kWhole:
        Ok("the program confines itself here by " + how +
           ": it reaches no file but in c:\\woe, r:\\fromnt and r:\\tont, runs no program, makes no connection "
           "and signals no other process");
        return;
      case ConfinementLevel::kPartial:
        Warn("the program confines itself only partly here, by " + how +
             (offered.landlock_abi == 0
                  ? ": its system calls are filtered, but it reaches every file the web server's user may; a kernel "
                    "with Landlock (Linux 5.13 and later, enabled among its security modules) keeps its files to the "
                    "exchange"
                  : ": its files are kept to the exchange, but its other system calls are not filtered (a kernel "
                    "with seccomp filters does)") +
             "; it serves requests all the same");
        return;
      case ConfinementLevel::kNone:
        Warn("the program is not confined here (" + how +
             "): this kernel offers neither, and the program serves requests as before, with everything the web "
             "server's user may reach");
        return;
    }
#endif
  }

  bool CheckDrive(char letter) {
    const DriveFacts drive = system_.DescribeDrive(letter);
    const std::string name = std::string(1, letter) + ":";
#ifdef _WIN32
    const char* share_there = "map the share as r: for the identity the web server runs the program as";
#else
    const char* share_there = "mount the share there, or make it a link to where the share is mounted";
#endif
    if (!drive.present) {
      Fail(name + " is " + drive.description + ": nothing on it can be checked; " +
           (letter == 'r' ? share_there : "make it a folder of this machine's own disk"));
      return false;
    }
    if (letter == 'r' && !drive.network) {
      Warn(name + " is " + drive.description +
           ", not a network share: right only when the remote host works on this machine; otherwise " +
           share_there);
    } else {
      Ok(name + " is " + drive.description + (drive.network ? ", a network share" : ""));
    }
    return true;
  }

  bool CheckFolder(const std::string& folder, const char* needs) {
    const bool on_share = folder[0] == 'r';
    switch (system_.DescribeEntry(folder).kind) {
      case EntryKind::kFolder:
        Ok(Shown(folder) + " is a folder below its drive");
        return true;
      case EntryKind::kMissing:
        Fail(Shown(folder) + " is missing" +
             (on_share ? ": is the share mounted? Make the folder on the share; " : ": make it; ") + needs);
        return false;
      case EntryKind::kLink:
        if (folder == Folder(kCounterFolder)) return CheckLinkedCounterFolder(folder, needs);
        Fail(Shown(folder) + " is a link, and the program follows no link below a drive: make it a real folder" +
             (on_share ? " of the share (the drive's own folder may be a link to the share)" : ""));
        return false;
      case EntryKind::kUnreachable:
        Fail(Shown(folder) + " cannot be reached: its drive or a folder on the way is missing or a link");
        return false;
      default:
        Fail(Shown(folder) + " is no folder: make it one; " + needs);
        return false;
    }
  }

  // c:\woe may be the administrator's link to a farm's folder on a cluster file system, the one
  // link the program follows; it must lead to a folder. A name looked up in it tells, however
  // many files the folder holds.
  bool CheckLinkedCounterFolder(const std::string& folder, const char* needs) {
    if (system_.DescribeEntry(std::string(kCounterPath)).kind != EntryKind::kUnreachable) {
      Ok(Shown(folder) + " is a link to a folder, which the program follows there and nowhere else (a farm's " +
         "counter and claims on a cluster file system)");
      return true;
    }
    Fail(Shown(folder) + " is a link that leads to no folder that can be read: is the farm's share mounted? " + needs);
    return false;
  }

  // A probe file made as the counter's replacement is made (flushed to disk), renamed over a
  // second one and removed. It does not take the counter's permissions as the replacement does:
  // a read-only counter would make a read-only probe, which Windows would not let go again.
  // Whether the counter itself may be replaced is MayReplace's to tell.
  void ProbeCounterFolder() {
    const std::string made = std::string(kCounterFolder) + probe_ + ".tmp";
    const std::string replaced = std::string(kCounterFolder) + probe_ + ".chk";
    Probes probes(*this, {made, replaced});
    const char* step = "be created";
    try {
      system_.WriteTextFileLike(made, "probe\r\n", "");
      system_.WriteTextFile(replaced, "probe\r\n", Readers::kOwner);
      step = "be renamed over another";
      system_.RenameReplacing(made, replaced);
      step = "be removed";
      system_.RemoveFile(replaced);
      counter_folder_writable_ = true;
      Ok("c:\\woe: a file was created, renamed over another and removed there, as the counter is replaced");
    } catch (const Failure& failure) {
      Fail("c:\\woe: a file cannot " + std::string(step) + " there (" + Explained(failure) + "): " +
           kCounterFolderNeeds);
    }
  }

  void CheckCounter() {
    const std::string counter(kCounterPath);
    const std::string remedy = " every new number (TRACKNO=0) fails at step 1, internal error 1:";
    switch (system_.DescribeEntry(counter).kind) {
      case EntryKind::kPlainFile:
        break;
      case EntryKind::kMissing:
        Fail("the counter " + Shown(counter) + " is missing, and the program never makes it:" + remedy +
             " write the first number into it, between spaces and followed by CR LF (\" 1 \" CR LF)");
        return;
      case EntryKind::kLink:
        Fail("the counter " + Shown(counter) + " is a link, which the program never follows: make it a plain file");
        return;
      default:
        Fail("the counter " + Shown(counter) + " is no plain file: make it one");
        return;
    }
    try {
      // Under the lock, as a request reads it: the number read is the one the next request gets.
      // The lock lies in the claims file, which taking it would make; before the first request
      // there is none, and the counter is read as it lies (it is only ever replaced whole).
      const std::string claims(kClaimsPath);
      std::unique_ptr<TextFileReader> reader =
          system_.DescribeEntry(claims).kind == EntryKind::kPlainFile
              ? system_.OpenTextFileLocked(counter, claims, kCounterLockSlot, kCheckLockWaitMs)
              : system_.OpenTextFile(counter);
      if (reader->AtEnd()) {
        Fail("the counter is empty:" + remedy + " write the next number into it");
      } else {
        ReportCounterLine(reader->ReadLine(), remedy);
      }
    } catch (const LockTimeoutFailure&) {
      Fail("the counter's lock in " + Shown(std::string(kClaimsPath)) + " was another process's for all of " +
           std::to_string(kCheckLockWaitMs / 1000) +
           " s: a request stopped while it held it, or a web server of the farm whose client died and whose "
           "session the file server keeps (docs/deploy.md, A web server that dies); every request for a new "
           "number waits for it until its time is up and then fails with internal error 1");
    } catch (const Failure& failure) {
      Fail("the counter cannot be read (" + Explained(failure) + "):" + remedy + " let the web server's user read it");
    }
    if (system_.MayReplace(counter)) {
      Ok("the counter may be replaced by this user, as each new number replaces it");
    } else {
      Fail("the counter cannot be replaced by this user (it is read-only, or the folder's or the file's "
           "permissions keep it):" + remedy + " make c:\\woe and the counter the web server's user's");
    }
  }

  void ReportCounterLine(const std::string& line, const std::string& remedy) {
    std::int16_t n = 0;
    try {
      n = ParseCounterLine(line);
    } catch (const Failure& failure) {
      bool last = false;
      if (failure.number() == kOverflow) {
        // Either 32767, whose successor does not fit, or a number beyond the range.
        try {
          last = ToInt16(line) == std::numeric_limits<std::int16_t>::max();
        } catch (const Failure&) {
        }
      }
      if (last) {
        Fail("the counter holds 32767, the last number:" + remedy + " reset it (see THE COUNTER'S END in trackrelay-check(8))");
      } else {
        Fail("the counter's first line, \"" + Printable(line) + "\", is " +
             (failure.number() == kOverflow ? "beyond -32768..32767:" : "no number:") + remedy +
             " write the next number into it");
      }
      return;
    }
    const int left = std::numeric_limits<std::int16_t>::max() - n;
    const std::string holds = "the counter holds " + std::to_string(n) + ": " + std::to_string(left) +
                              (left == 1 ? " number is" : " numbers are") + " left before 32767";
    if (left < kFewNumbersLeft) {
      Warn(holds + ", where every new number fails at step 1 (internal error 1) until the counter is reset: plan "
                   "its reset (see THE COUNTER'S END in trackrelay-check(8))");
    } else {
      Ok(holds);
    }
  }

  void CheckClaims() {
    const std::string claims(kClaimsPath);
    switch (system_.DescribeEntry(claims).kind) {
      case EntryKind::kMissing:
        if (counter_folder_writable_) {
          Ok("the claims file " + Shown(claims) + " is not made yet; the first request makes it");
        } else {
          Fail("the claims file " + Shown(claims) + " is not made yet, and this user cannot make it: every request "
               "fails at step 3, internal error 3; " + kCounterFolderNeeds);
        }
        return;
      case EntryKind::kPlainFile:
        try {
          system_.ClaimForProcess(claims, kProbeClaimSlot);
          Ok("the claims file can be locked, as each request claims its number there");
        } catch (const Failure& failure) {
          Fail("the claims file " + Shown(claims) + " cannot be locked (" + Explained(failure) +
               "): every request fails at step 3, internal error 3; c:\\woe must be on a disk that offers locks "
               "on parts of files, and the file the web server's user's to read and write");
        }
        return;
      default:
        Fail("the claims file " + Shown(claims) + " is no plain file: every request fails at step 3, internal "
             "error 3; remove it, and the first request makes it anew");
        return;
    }
  }

  // A probe file written, renamed without replacing and removed, as each request is published.
  // Returns the time the share stamped on it: the share's own now.
  std::optional<std::int64_t> ProbeOutbound() {
    const std::string written = std::string(kOutboundFolder) + probe_ + ".tmp";
    const std::string published = std::string(kOutboundFolder) + probe_ + ".chk";
    Probes probes(*this, {written, published});
    const char* step = "be created";
    try {
      system_.WriteTextFile(written, "probe\r\n", Readers::kOwnerAndGroup);
      step = "be renamed without replacing";
      const RenameWay way = system_.RenameNoReplaceTellingHow(written, published);
      const std::int64_t now = system_.DescribeEntry(published).modified_ms;
      step = "be removed";
      system_.RemoveFile(published);
      Ok("r:\\fromnt: a file was created, renamed without replacing and removed there, as each request is "
         "published");
      switch (way) {
        case RenameWay::kNoReplaceRename:
          Ok("r:\\fromnt: its file system renames without replacing by itself");
          break;
        case RenameWay::kHardLink:
          Ok("r:\\fromnt: its file system refuses renames that never replace, so each is made as a hard link "
             "and a removal");
          break;
        case RenameWay::kCheckedRename:
          Warn("r:\\fromnt: its file system offers neither renames that never replace nor hard links, so the "
               "program looks and then renames: safe while no two web servers publish one number there; give "
               "each web server on this share numbers of its own");
          break;
      }
      return now;
    } catch (const Failure& failure) {
      Fail("r:\\fromnt: a file cannot " + std::string(step) + " there (" + Explained(failure) + "): every request "
           "fails at step 2 or 3; " + kOutboundNeeds);
      return std::nullopt;
    }
  }

  // A probe file renamed into the folder as the remote host renames an answer in, watched for
  // and looked up as a waiting request does, then removed. Returns the share's own now.
  std::optional<std::int64_t> ProbeInbound() {
    const std::string written = std::string(kInboundFolder) + probe_ + ".tmp";
    const std::string answer = std::string(kInboundFolder) + probe_ + ".chk";
    Probes probes(*this, {written, answer});
    const char* step = "be created";
    try {
      system_.WriteTextFile(written, "probe\r\n", Readers::kEveryone);
      system_.WatchFolder(std::string(kInboundFolder));
      system_.WatchForArrival(answer);
      step = "be renamed";
      system_.RenameNoReplace(written, answer);
      const bool woke = system_.AwaitArrival(answer, kWatchProbeMs) > 0;
      const bool found = system_.LookUpPlainFile(answer) == probe_ + ".chk";
      const bool folds = !system_.LookUpPlainFile(std::string(kInboundFolder) + InOtherCase(probe_ + ".chk")).empty();
      const std::int64_t now = system_.DescribeEntry(answer).modified_ms;
      step = "be removed";
      system_.RemoveFile(answer);
      if (found) {
        Ok("r:\\tont: a file was created there, found by the program's look and removed, as an answer is taken");
      } else {
        Fail("r:\\tont: a file renamed into it is not found by the program's look: every request ends in the "
             "timeout page; see that the share's client does not cache names (docs/deploy.md, The drive on a "
             "network share)");
      }
      Ok(woke ? "r:\\tont is watched: an answer that lands there wakes its request at once"
              : "r:\\tont is not watched (a network or FUSE mount, or its reports did not come within 1 s): "
                "answers are found by a look every 100 ms");
      Ok(folds ? "r:\\tont ignores case (N.OUT and N.out are one name there): only a file stored exactly as N.out "
                 "is taken"
               : "r:\\tont tells case apart");
      return now;
    } catch (const Failure& failure) {
      Fail("r:\\tont: a file cannot " + std::string(step) + " there (" + Explained(failure) + "): requests fail at "
           "step 5 or 6 once answered; " + kInboundNeeds);
      return std::nullopt;
    }
  }

  // Request files or answers older than a request waits, by the share's own clock (now), which
  // stamped them too.
  void CheckStaleFiles(std::string_view folder, PathOfNumber path_of, std::int64_t now) {
    const bool requests = path_of == RequestPath;
    const std::string where = Folder(folder);
    std::vector<std::string> names;
    try {
      names = system_.ListFolder(std::string(folder));
    } catch (const Failure& failure) {
      Fail(Shown(where) + " cannot be listed (" + Explained(failure) + ")");
      return;
    }
    int waiting = 0;
    std::vector<std::string> stale;
    for (const std::string& name : names) {
      if (!IsFileOfANumber(name, requests ? ".DAT" : ".out")) continue;
      const EntryFacts file = system_.DescribeEntry(std::string(folder) + name);
      if (file.kind != EntryKind::kPlainFile) continue;
      if (now - file.modified_ms > kRequestWaitMs) {
        stale.push_back(name + " " + Age(now - file.modified_ms));
      } else {
        ++waiting;
      }
    }
    if (stale.empty()) {
      Ok(where + " holds no " + (requests ? "request" : "answer") + " older than 45 s" +
         (waiting > 0 ? " (" + std::to_string(waiting) + " newer)" : ""));
      return;
    }
    std::string listed;
    for (std::size_t i = 0; i < stale.size() && i < 5; ++i) listed += (i > 0 ? ", " : "") + stale[i];
    if (stale.size() > 5) listed += " and " + std::to_string(stale.size() - 5) + " more";
    const std::string count = std::to_string(stale.size());
    if (requests) {
      Fail(where + " holds " + count + " request file(s) older than 45 s (" + listed +
           "): the remote host is not taking requests, and each file left keeps its number busy (internal "
           "error 3): start the remote host (trackrelay-remote-host(1))");
    } else {
      Warn(where + " holds " + count + " answer(s) older than 45 s that no request took (" + listed +
           "): the next request of that number would be given it; remove them, and see that the remote host "
           "answers within 45 s");
    }
  }

  const std::function<void(const Finding&)>& report_;
  System& system_;
  const std::string probe_;
  bool counter_folder_writable_ = false;
};

}  // namespace

void CheckInstallation(const std::function<void(const Finding&)>& report) { Checker(report).Run(); }

std::string FindingLine(const Finding& finding) {
  switch (finding.verdict) {
    case Verdict::kOk:
      return "ok: " + finding.text;
    case Verdict::kWarning:
      return "warning: " + finding.text;
    case Verdict::kFail:
      break;
  }
  return "FAIL: " + finding.text;
}

}  // namespace trackrelay::check
