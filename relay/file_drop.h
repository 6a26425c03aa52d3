// The file-drop exchange with the remote host: request files dropped in the outbound folder,
// response files taken from the inbound folder, both named after the tracking number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/kernel32.h"
#include "platform/system.h"

namespace trackrelay {

inline constexpr std::string_view kOutboundFolder = "r:\\fromnt\\";
inline constexpr std::string_view kInboundFolder = "r:\\tont\\";

// The number as file names carry it: decimal, a minus sign when negative, nothing else.
std::string NumberText(std::int16_t n);
// r:\fromnt\tN.DAT, r:\fromnt\N.DAT and r:\tont\N.out.
std::string TemporaryRequestPath(std::int16_t n);
std::string RequestPath(std::int16_t n);
std::string ResponsePath(std::int16_t n);

// One request's part of the exchange: its number and the names of its files, made once when the
// number is known (a wait looks for them up to 450 times), and its response file while it is open.
struct FileDrop {
  std::int16_t number = 0;
  std::string temporary_request;  // TemporaryRequestPath
  std::string request;            // RequestPath
  std::string response;           // ResponsePath
  // Between OpenResponseFile and CloseResponseFile.
  std::unique_ptr<TextFileReader> open_response;
};

FileDrop FileDropOf(std::int16_t n);

// Claims the drop's number for this process, before anything of its request is written: until
// the process ends no other request of this web server can write, publish or wait for a request
// of the number, so two waiters never share one response file. Raises 58 when another request
// holds it. The claims file is kClaimsPath (relay/local_disk.h).
void ClaimTrackingNumber(const FileDrop& drop);
// Writes the temporary request file anew, with text and CR LF; a stale one is removed first,
// never written through.
void WriteRequestFile(const FileDrop& drop, std::string_view text);
// Gives the temporary request file its final name; fails with 58 and leaves both files as they
// were when a request file of the number is there already.
void PublishRequestFile(const FileDrop& drop);
// Removes an answer that stands in the inbound folder before the request is published: it was
// made for an earlier request of the number (one that died, or gave up waiting), since the claim
// keeps every other live request of the number away, and must never reach this one. Only a plain
// file stored as exactly N.out is an answer; anything else of that name is never taken and stays.
// Raises when the answer cannot be removed, and the request must then not be published.
void RemoveAnswerLeftBefore(const FileDrop& drop);
// True when the answer of this request stands: a plain file stored as exactly N.out (case
// counts) while the request file is gone from the outbound folder. An answer counts only once
// the remote host has taken the request: one that lands while N.DAT still waits is an earlier
// request's, finished late by a remote host that serves a number's requests one at a time and
// removes a standing answer before it takes the next. False also when the folder or its drive
// is not available.
bool ResponseFileReady(const FileDrop& drop);

// Arms the inbound folder's watch (set up before the process shut itself in: WatchInboundFolder)
// for the response file; says nothing when the folder is not watched.
void WatchForResponseFile(const FileDrop& drop);
// Waits the given milliseconds before the next look. When the folder reports the response file
// renamed into it or closed after writing, it looks at once: true when that look finds the file
// ready; a look that finds nothing is no miss, and the rest of the time is waited.
bool AwaitResponseFile(const FileDrop& drop, DWORD milliseconds);
// The response file, read line by line: lines end at CR or CR LF, a lone LF stays in the line,
// the last line may lack its end. One response file of the drop is open at a time: an open
// closes the one before. The open is false, and nothing is open, when the file has gone since
// the look that found it: the answer seen was an earlier request's, removed meanwhile by the
// remote host (seen late through a share's cache). AtEndOfResponse and ReadResponsePart raise 5
// when no response file is open.
bool OpenResponseFile(FileDrop& drop);
bool AtEndOfResponse(FileDrop& drop);
// The size of the parts in which response lines are read, so that memory stays bounded whatever
// a line's length: a line of up to this many bytes comes whole (and so goes out in one write).
inline constexpr std::size_t kResponsePartSize = 64 * 1024;
// The next part of the response line under way, at most kResponsePartSize bytes, in place of
// part's contents; true when it ends its line (the line end is no part of it). 62 past the end.
bool ReadResponsePart(FileDrop& drop, std::string& part);
void CloseResponseFile(FileDrop& drop);
void RemoveResponseFile(const FileDrop& drop);

}  // namespace trackrelay
