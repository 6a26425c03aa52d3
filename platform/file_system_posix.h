// The POSIX System's inner pieces that its tests reach for directly.
// Everything else of it is behind CurrentSystem().
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/file_system_common.h"
#include "platform/system.h"

namespace trackrelay {

// The reader behind OpenTextFile, on a descriptor open for reading, which it closes when it goes.
// It fetches chunk bytes with each read(2); tests pick small chunks to put line ends at the edges.
std::unique_ptr<TextFileReader> MakeTextFileReader(int fd, std::size_t chunk = kTextReadChunk);

// The rename that never replaces, for file systems that refuse RENAME_NOREPLACE: a hard link
// under the new name (which fails with 58 when that name is taken), then the old name removed.
// Drive paths, as for System.
void RenameByLinking(const std::string& from, const std::string& to);

// The last way, for shares that refuse hard links too: fails with 58 when the new name is taken,
// else renames. Only safe for a target that nobody else may create meanwhile.
void RenameAfterCheck(const std::string& from, const std::string& to);

}  // namespace trackrelay
