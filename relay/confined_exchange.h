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

// Shuts the process in to ExchangeFolders(), before anything of the request is read: what ran
// on input could reach no other file, run nothing, connect nowhere and signal nobody.
Confinement ConfineToExchange();

}  // namespace trackrelay
