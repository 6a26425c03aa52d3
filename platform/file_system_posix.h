// The POSIX System's inner pieces that its tests reach for directly.
// Everything else of it is behind CurrentSystem().
#pragma once

#include <cstddef>
#include <string>

namespace trackrelay {

// How many bytes a text file reader fetches with one read(2).
inline constexpr std::size_t kTextReadChunk = 64 * 1024;

// The rename that never replaces, for file systems that refuse RENAME_NOREPLACE: a hard link
// under the new name (which fails with 58 when that name is taken), then the old name removed.
// Drive paths, as for System.
void RenameByLinking(const std::string& from, const std::string& to);

}  // namespace trackrelay
