#include "relay/file_drop.h"

#include "platform/failure.h"
#include "relay/local_disk.h"

namespace trackrelay {

std::string NumberText(std::int16_t n) { return std::to_string(n); }

std::string TemporaryRequestPath(std::int16_t n) {
  return std::string(kOutboundFolder) + "t" + NumberText(n) + ".DAT";
}

std::string RequestPath(std::int16_t n) { return std::string(kOutboundFolder) + NumberText(n) + ".DAT"; }

std::string ResponsePath(std::int16_t n) { return std::string(kInboundFolder) + NumberText(n) + ".out"; }

FileDrop FileDropOf(std::int16_t n) {
  FileDrop drop;
  drop.number = n;
  drop.temporary_request = TemporaryRequestPath(n);
  drop.request = RequestPath(n);
  drop.response = ResponsePath(n);
  return drop;
}

namespace {

TextFileReader& OpenResponse(FileDrop& drop) {
  if (drop.open_response == nullptr) RaiseFailure(kInvalidArgument);
  return *drop.open_response;
}

// The name a file of the drop is stored as, exactly: its path without its folder.
std::string_view StoredName(std::string_view path, std::string_view folder) { return path.substr(folder.size()); }

bool AnswerStands(const FileDrop& drop) {
  return CurrentSystem().LookUpPlainFile(drop.response) == StoredName(drop.response, kInboundFolder);
}

bool RequestStands(const FileDrop& drop) {
  return CurrentSystem().LookUpPlainFile(drop.request) == StoredName(drop.request, kOutboundFolder);
}

}  // namespace

void ClaimTrackingNumber(const FileDrop& drop) {
  CurrentSystem().ClaimForProcess(std::string(kClaimsPath), drop.number + 32768);
}

void WriteRequestFile(const FileDrop& drop, std::string_view text) {
  // Sized at once: a large form input is copied once, never into a buffer twice its size.
  std::string content;
  content.reserve(text.size() + 2);
  content.append(text).append("\r\n");
  // The form input is for the remote host alone, which may read it as another user of the
  // file's group (the outbound folder's, where that is set-group-ID).
  CurrentSystem().WriteTextFile(drop.temporary_request, content, Readers::kOwnerAndGroup);
}

void PublishRequestFile(const FileDrop& drop) { CurrentSystem().RenameNoReplace(drop.temporary_request, drop.request); }

void RemoveAnswerLeftBefore(const FileDrop& drop) {
  if (!AnswerStands(drop)) return;
  try {
    CurrentSystem().RemoveFile(drop.response);
  } catch (const Failure& failure) {
    // Gone all the same: the remote host's sweep, or its own removal before it takes a request
    // of the number, came first.
    if (failure.number() != kFileNotFound) throw;
  }
}

bool ResponseFileReady(const FileDrop& drop) {
  // A miss, the common case while a request waits, costs one look.
  return AnswerStands(drop) && !RequestStands(drop);
}

void WatchForResponseFile(const FileDrop& drop) { CurrentSystem().WatchForArrival(drop.response); }

bool AwaitResponseFile(const FileDrop& drop, DWORD milliseconds) {
  DWORD left = milliseconds;
  while ((left = CurrentSystem().AwaitArrival(drop.response, left)) > 0) {
    if (ResponseFileReady(drop)) return true;
  }
  return false;
}

bool OpenResponseFile(FileDrop& drop) {
  drop.open_response.reset();
  try {
    drop.open_response = CurrentSystem().OpenTextFile(drop.response);
  } catch (const StaleFileFailure&) {
    return false;
  } catch (const Failure& failure) {
    if (failure.number() != kFileNotFound) throw;
    return false;
  }
  return true;
}

bool AtEndOfResponse(FileDrop& drop) { return OpenResponse(drop).AtEnd(); }

bool ReadResponsePart(FileDrop& drop, std::string& part) {
  return OpenResponse(drop).ReadLinePart(part, kResponsePartSize);
}

void CloseResponseFile(FileDrop& drop) { drop.open_response.reset(); }

void RemoveResponseFile(const FileDrop& drop) { CurrentSystem().RemoveFile(drop.response); }

}  // namespace trackrelay
