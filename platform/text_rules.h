// The text rules that hold on every platform: how a path splits into names, how names are
// compared without regard to case, where a line ends. Both file systems and the fake follow them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trackrelay {

// The names of a path, split at each "\\" and "/": "a\\b/c" gives a, b and c. Empty names stay
// ("a\\" gives a and an empty last name), so that the caller can refuse them.
std::vector<std::string> PathNames(std::string_view path);

// Whether the name, as a path's last name, names no entry of its folder: an empty name, "."
// (the folder itself) or ".." (the folder above, which may lie outside the drive).
inline bool NamesNoEntry(std::string_view name) { return name.empty() || name == "." || name == ".."; }
// Whether the name, as a folder's name on the way down a path, leaves the walk where it is: an
// empty name (two separators in a row) or ".". A ".." is never passed over: it is refused.
inline bool StaysInFolder(std::string_view name) { return name.empty() || name == "."; }

// Whether c is an ASCII letter: what a drive letter is, and what case-blind comparisons fold.
inline bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Whether a and b are the same text once ASCII letters are taken in one case, as file names on
// Windows and form field names are compared.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

// The text with every ASCII letter in the other case ("42.out" gives "42.OUT"): the spelling
// that tells whether a folder folds case.
std::string InOtherCase(std::string_view text);

// The line rule of the text files the relay reads (the counter, an answer): a line ends at a CR,
// and an LF straight after that CR belongs to its end; a lone LF is part of the line, and the
// last line may lack its end. Bytes pass unchanged. ChunkedTextFileReader splits by it for both
// file systems and the fake.
inline constexpr char kLineEnd = '\r';
inline constexpr char kLineEndTail = '\n';

}  // namespace trackrelay
