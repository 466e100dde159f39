// Splitting slash-separated paths (local paths and server paths alike) into their folder and their
// last name, with no file-system access.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace tw::platform {

// The folder holding `path`: everything before its last "/". "/" for a top-level item ("/a") and for a
// path without any "/".
std::string parentFolder(const std::string& path);
// The last name of `path`: everything after its last "/" (all of it when there is none).
std::string lastPathComponent(const std::string& path);
// Whether `path` lies inside `folder`, not being it: "/v/Work" holds "/v/Work/a", not "/v/Workshop".
// Names compared exactly, byte for byte (platform/casefold.h compares them without regard to case).
bool isInsideFolder(std::string_view path, std::string_view folder);

}  // namespace tw::platform
