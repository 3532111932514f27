// Path joining for the store: every further part is appended after a "/".
#pragma once
#include <string>

// BuildPath(first, part, ..., nullptr): separators are never merged, so
// BuildPath("a/", "b", nullptr) is "a//b"; with no further part it is first.
// The store's paths are spelled this way (a root given as "/x/" names its
// entries "/x//0012ABCD"), which is why this is not vDirectory_BuildPath:
// that one adds a separator only where neither side has one, into a
// bounded buffer.
std::string BuildPath(const char *first, ...);
