#include "relay/confined_exchange.h"

#include <string>
#include <string_view>

#include "platform/system.h"
#include "relay/file_drop.h"
#include "relay/local_disk.h"

namespace trackrelay {
namespace {

// "c:\woe\track.txt" gives "c:\woe", "r:\tont\" gives "r:\tont".
std::string FolderOf(std::string_view path) { return std::string(path.substr(0, path.rfind('\\'))); }

}  // namespace

std::vector<FolderAccess> ExchangeFolders() {
  return {
      {FolderOf(kCounterPath), kReadFiles | kListNames | kWriteFiles | kMakeFiles | kRemoveFiles},
      // Before the inbound folder: a request that cannot reach it fails at step 2 and never
      // needs the other. Listed only to be opened for a flush of its renames.
      {FolderOf(kOutboundFolder), kListNames | kWriteFiles | kMakeFiles | kRemoveFiles},
      {FolderOf(kInboundFolder), kReadFiles | kListNames | kRemoveFiles},
  };
}

void WatchInboundFolder() { CurrentSystem().WatchFolder(std::string(kInboundFolder)); }

Confinement ConfineToExchange() {
  WatchInboundFolder();
  return ConfineProcess(ExchangeFolders());
}

}  // namespace trackrelay
