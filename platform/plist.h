// Property lists, as the platform's file-manager and launch services attributes expect them: a flat
// dictionary of texts, integers and Booleans written in the binary format ("bplist00"); and nested
// property lists read whole (the indexer's volume configuration).
//
// Thread-safety: pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
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

// Reads a property list (binary or XML) of any layout as JSON: dictionaries become objects, arrays
// arrays, texts strings, integers and reals numbers, Booleans booleans; dates, data, UIDs and anything
// nested deeper than 64 levels become null. None when `data` is not a property list.
std::optional<nlohmann::json> parsePlistTree(const std::string& data);

}  // namespace tw::platform
