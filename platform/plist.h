// Property lists, as the platform's file-manager and launch services attributes expect them: a flat
// dictionary of texts, integers and Booleans written in the binary format ("bplist00").
//
// Thread-safety: pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace tw::platform {

using PlistValue = std::variant<std::string, uint64_t, bool>;
using PlistDictionary = std::map<std::string, PlistValue>;

// The dictionary as a binary property list; "" if the library could not serialise it.
std::string binaryPlist(const PlistDictionary& dictionary);

// Reads a property list (binary or XML) whose top level is a dictionary. Entries of other kinds than
// text, unsigned integer and Boolean are left out. None when `data` is not such a property list.
std::optional<PlistDictionary> parsePlistDictionary(const std::string& data);

}  // namespace tw::platform
