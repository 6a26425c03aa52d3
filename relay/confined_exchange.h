// The request's process shut in to its exchange: the counter's folder and the two exchange folders,
// each with the rights that the request's steps need there, and nothing else.
#pragma once

#include <vector>

#include "platform/confinement.h"

namespace trackrelay {

// c:\woe (the counter is read under its lock, replaced by a rename and its folder flushed; numbers
// are claimed in track.claims, made when missing), r:\fromnt (the request file written anew, a
// stale one removed, renamed or linked to its final name, the folder flushed) and r:\tont (the
// answer looked up, its folder listed on a share that folds case, read and deleted).
std::vector<FolderAccess> ExchangeFolders();

// Sets up the watch of the inbound folder, whose arrivals wake a request's wait for its answer;
// the answer's name is chosen once the number is known (WatchForResponseFile).
void WatchInboundFolder();

// Shuts the process in to ExchangeFolders(), before anything of the request is read: what ran
// on input could reach no other file, run nothing, connect nowhere and signal nobody. The inbound
// folder's watch is set up first (WatchInboundFolder): once shut in, the process may make none,
// so that what ran on input could not watch a folder beyond its exchange either.
Confinement ConfineToExchange();

}  // namespace trackrelay
