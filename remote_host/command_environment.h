// What the administrator's command is given (its environment, the form's fields among it) and
// what its output becomes (an answer in CR LF lines, or the error page in its place). POSIX only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace trackrelay::remote_host {

// Form fields in the environment: a variable at most, and all of them together.
inline constexpr std::size_t kFieldLimit = 32u << 10;
inline constexpr std::size_t kFieldsLimit = 256u << 10;

// The command's environment: the inherited one without variables named FORM_... or
// TRACKRELAY_NUMBER and TRACKRELAY_FIELDS, then TRACKRELAY_NUMBER (the number as in the file
// names), FORM_name for each decoded field whose name is 1 to 64 letters, digits and
// underscores (repeated fields joined by ";", as the program's lookup joins them), and
// TRACKRELAY_FIELDS, those names in order, separated by spaces. Any other name (one that holds a
// character a shell cannot name, "=", a NUL) is left out, as is a value that holds a NUL, a
// variable beyond kFieldLimit and any field once the fields reach kFieldsLimit; the raw form
// input on standard input has them all. The prefix keeps a field from setting PATH,
// LD_PRELOAD or the like.
std::vector<std::string> CommandEnvironment(std::string_view number, std::string_view form_input,
                                            const char* const* inherited);

// The command's output as the program reads lines: each LF, CR LF or lone CR made CR LF, and
// the last line ended so too.
std::string WithCrLfLineEnds(std::string_view output);

// The fixed page written in place of an answer that the command could not give in time.
std::string ErrorPage(std::string_view number);

}  // namespace trackrelay::remote_host
