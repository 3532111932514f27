// Path joining for the store: every further part is appended after a "/".
#pragma once
#include <string>

// BuildPath(first, part, ..., nullptr): separators are never merged, so
// BuildPath("a/", "b", nullptr) is "a//b"; with no further part it is first.
std::string BuildPath(const char *first, ...);
