// The text rules that hold on every platform: how a path splits into names, and how names are
// compared without regard to case. Both file systems and the in-memory fake follow them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trackrelay {

// The names of a path, split at each "\\" and "/": "a\\b/c" gives a, b and c. Empty names stay
// ("a\\" gives a and an empty last name), so that the caller can refuse them.
std::vector<std::string> PathNames(std::string_view path);

// Whether a and b are the same text once ASCII letters are taken in one case, as file names on
// Windows and form field names are compared.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace trackrelay
