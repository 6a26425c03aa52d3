// The remote host's hand-over of a request: taken from the program's folder, answered and let go
// in an order that a power cut or a kill at any step turns into neither a lost request nor a
// short answer; and what the next start makes of what such a stop left.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/system.h"

namespace trackrelay::remote_host {

// Moves the complete request file published (N.DAT in the outbound folder) to taken (N.DAT in the
// remote host's work folder), never over an existing file (58, and nothing moves). It is flushed
// first: the program of an older build, or another writer, may not have put it on the disk, and
// once taken it is the remote host's alone to keep. A request file that is no plain file is moved
// all the same, unflushed, for the serving to refuse with its reason.
void TakeRequest(System& system, const std::string& published, const std::string& taken);

// Publishes page as the answer file: written and flushed as partial (tN.out), then renamed over
// answer (N.out), which flushes the folder. A stale partial is replaced, never written through;
// an answer still there is replaced whole, in one rename.
void PublishAnswer(System& system, const std::string& partial, const std::string& answer, std::string_view page);

// Removes a plain file standing as answer (N.out), and flushes the inbound folder (as FlushFolder
// names it) so that a power cut does not bring it back; true when one was removed. Called before
// a request of the number is taken: the remote host serves a number's requests one at a time, so
// an answer standing then was made for an earlier request, whose program has ended (the newer
// one could not have been published while it held the number). The program takes an answer only
// once its request has been taken; with this removal first, what it takes is its own. Anything
// else of that name (a folder, a link) is never taken by the program and is left alone.
bool RemoveEarlierAnswer(System& system, const std::string& answer, const std::string& inbound);

// The files of one request while it is answered.
struct HandOver {
  std::string request;  // N.DAT in the work folder: taken, its answer not yet written
  std::string marker;   // N.answered in the work folder: the same file once its answer is written
  std::string inbound;  // the inbound folder, as FlushFolder names a folder
  std::string partial;  // tN.out in the inbound folder
  std::string answer;   // N.out in the inbound folder
};
HandOver HandOverOf(const std::filesystem::path& work, const std::filesystem::path& inbound, std::string_view number);

// Answers the request of the hand-over with page, in this order:
//  1. the answer written and flushed as tN.out, and the inbound folder flushed, so that its name
//     stands on the disk before anything says that it was written;
//  2. the request renamed to N.answered, the work folder flushed: from now on the request counts
//     as answered, and a restart publishes the answer rather than serving the request again;
//  3. the answer renamed to N.out, the inbound folder flushed;
//  4. N.answered removed.
// A stop between two steps leaves the request (before 2) or the whole answer with its marker
// (from 2 on), which FinishAnswered completes. holder names the file that holds the request as
// it goes (request, then marker, empty once it is removed), for the caller to say where it
// stays when a step fails.
void AnswerRequest(System& system, const HandOver& files, std::string_view page, std::string& holder);

// What the next start makes of a request found as N.answered.
enum class Finish {
  kPublishedNow,  // its answer was still tN.out, and is now N.out; the marker is gone
  kWasOut,        // no tN.out: the answer went out before the stop; the marker is gone
  kTooLate,       // its tN.out is removed: the program no longer waits; the marker stays, for
                  // the caller to keep with the failed requests
  kLeft,          // something other than a plain file stands as tN.out: both are left alone
};
// in_time: the program may still wait for the answer.
Finish FinishAnswered(System& system, const HandOver& files, bool in_time);

}  // namespace trackrelay::remote_host
