#include "relay/file_drop.h"

#include <memory>

#include "platform/failure.h"
#include "platform/system.h"

namespace trackrelay {
namespace {

// The response file between OpenResponseFile and CloseResponseFile.
std::unique_ptr<TextFileReader> open_response;

TextFileReader& OpenResponse() {
  if (open_response == nullptr) RaiseFailure(kInvalidArgument);
  return *open_response;
}

}  // namespace

std::string NumberText(std::int16_t n) { return std::to_string(n); }

std::string TemporaryRequestPath(std::int16_t n) {
  return std::string(kOutboundFolder) + "t" + NumberText(n) + ".DAT";
}

std::string RequestPath(std::int16_t n) { return std::string(kOutboundFolder) + NumberText(n) + ".DAT"; }

std::string ResponsePath(std::int16_t n) { return std::string(kInboundFolder) + NumberText(n) + ".out"; }

void ClaimTrackingNumber(std::int16_t n) { CurrentSystem().ClaimForProcess(std::string(kClaimsPath), n + 32768); }

void WriteRequestFile(std::int16_t n, std::string_view text) {
  // Sized at once: a large form input is copied once, never into a buffer twice its size.
  std::string content;
  content.reserve(text.size() + 2);
  content.append(text).append("\r\n");
  // The form input is for the remote host alone, which may read it as another user of the
  // file's group (the outbound folder's, where that is set-group-ID).
  CurrentSystem().WriteTextFile(TemporaryRequestPath(n), content, Readers::kOwnerAndGroup);
}

void PublishRequestFile(std::int16_t n) { CurrentSystem().RenameNoReplace(TemporaryRequestPath(n), RequestPath(n)); }

namespace {

bool AnswerStands(std::int16_t n) { return CurrentSystem().LookUpPlainFile(ResponsePath(n)) == NumberText(n) + ".out"; }

bool RequestStands(std::int16_t n) { return CurrentSystem().LookUpPlainFile(RequestPath(n)) == NumberText(n) + ".DAT"; }

}  // namespace

void RemoveAnswerLeftBefore(std::int16_t n) {
  if (!AnswerStands(n)) return;
  try {
    CurrentSystem().RemoveFile(ResponsePath(n));
  } catch (const Failure& failure) {
    // Gone all the same: the remote host's sweep, or its own removal before it takes a request
    // of n, came first.
    if (failure.number() != kFileNotFound) throw;
  }
}

bool ResponseFileReady(std::int16_t n) {
  // A miss, the common case while a request waits, costs one look.
  return AnswerStands(n) && !RequestStands(n);
}

void WatchForResponseFile(std::int16_t n) { CurrentSystem().WatchForArrival(ResponsePath(n)); }

bool AwaitResponseFile(std::int16_t n, DWORD milliseconds) {
  DWORD left = milliseconds;
  while ((left = CurrentSystem().AwaitArrival(ResponsePath(n), left)) > 0) {
    if (ResponseFileReady(n)) return true;
  }
  return false;
}

bool OpenResponseFile(std::int16_t n) {
  open_response.reset();
  try {
    open_response = CurrentSystem().OpenTextFile(ResponsePath(n));
  } catch (const StaleFileFailure&) {
    return false;
  } catch (const Failure& failure) {
    if (failure.number() != kFileNotFound) throw;
    return false;
  }
  return true;
}

bool AtEndOfResponse() { return OpenResponse().AtEnd(); }

bool ReadResponsePart(std::string& part) { return OpenResponse().ReadLinePart(part, kResponsePartSize); }

void CloseResponseFile() { open_response.reset(); }

void RemoveResponseFile(std::int16_t n) { CurrentSystem().RemoveFile(ResponsePath(n)); }

}  // namespace trackrelay
