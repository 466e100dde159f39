#include "Pinewick/metadata/CEAValues.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "Pinewick/config/Log.h"
#include "platform/decimal.h"
#include "platform/overmark.h"

namespace tw {

namespace {

// Raw value tables: the enumeration's cases in order, each with its text.
template <typename E, size_t N>
std::string rawOf(const std::array<const char*, N>& names, E value) {
    auto i = static_cast<size_t>(value);
    return i < N ? names[i] : "";
}

template <typename E, size_t N>
std::optional<E> caseOf(const std::array<const char*, N>& names, const std::string& raw) {
    for (size_t i = 0; i < N; ++i)
        if (raw == names[i]) return static_cast<E>(i);
    return std::nullopt;
}

// The keys and state words gatewarden reads too are the shared contract's.
constexpr std::array<const char*, 3> kBoolNames{"CanShare", overmark::kReadOnlyKey, "LaunchAfterDownload"};
constexpr std::array<const char*, 5> kStringNames{"Revision", "UploadGUID", "ConflictRevision", "FileType",
                                                  "SyncedContent"};
constexpr std::array<const char*, 3> kLongNames{overmark::kServerFileSizeKey, "LocalFileId", "LocalVolumeId"};
constexpr std::array<const char*, 2> kDateNames{"TransferRecovery", "LastServerListing"};
constexpr std::array<const char*, 8> kStatusNames{
    overmark::kStatusRequireUpload, overmark::kStatusRequireDownload, overmark::kStatusPlaceholder,
    overmark::kStatusRegular,       overmark::kStatusErrorRegular,    overmark::kStatusErrorPlaceholder,
    overmark::kStatusLocalOnly,     overmark::kStatusUnknown};
constexpr std::array<const char*, 7> kErrorNames{"NoError",         "Conflict",       "PermissionDenied",
                                                 "FileInUse",       "FolderNotEmpty", "QuotaExceeded",
                                                 "ReadOnlyMappoint"};
constexpr std::array<const char*, 3> kGenreNames{"None", "Delete", "Transfer"};

std::string line(const std::string& key, const std::string& value) {
    return key + ": " + value + "\n";
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::optional<uint64_t> parseUnsigned(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    return platform::parseDecimal(text);
}

std::optional<double> parseFiniteDouble(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    return platform::parseFiniteDecimal(text);
}

}  // namespace

std::optional<std::string> findLineValue(std::string_view text, std::string_view key,
                                         std::string_view indent) {
    size_t from = 0;
    while (from <= text.size()) {
        size_t at = text.find(key, from);
        if (at == std::string_view::npos) return std::nullopt;
        bool startsLine = at >= indent.size() && text.substr(at - indent.size(), indent.size()) == indent &&
                          (at == indent.size() || text[at - indent.size() - 1] == '\n');
        size_t afterKey = at + key.size();
        if (startsLine && text.substr(afterKey, 2) == ": ") {
            size_t valueStart = afterKey + 2;
            size_t end = text.find('\n', valueStart);
            if (end == std::string_view::npos) return std::nullopt;
            return std::string(text.substr(valueStart, end - valueStart));
        }
        // Not a line of this key: carry on from the next line.
        size_t nextLine = text.find('\n', at);
        if (nextLine == std::string_view::npos) return std::nullopt;
        from = nextLine + 1;
    }
    return std::nullopt;
}

// ---- CEABool

std::string CEABool::rawValue(keys key) {
    return rawOf(kBoolNames, key);
}
std::optional<CEABool::keys> CEABool::fromRaw(const std::string& raw) {
    return caseOf<keys>(kBoolNames, raw);
}

CEABool::CEABool() {
    for (auto k : enumerate) boolValues[k] = false;
}

bool CEABool::getAttribute(keys key) const {
    auto it = boolValues.find(key);
    return it != boolValues.end() && it->second;
}

void CEABool::setAttribute(keys key, bool value) {
    auto it = boolValues.find(key);
    if (it != boolValues.end() && it->second == value) return;
    boolValues[key] = value;
    shouldSave = true;
}

std::string CEABool::encode() {
    shouldSave = false;
    std::string out;
    for (const auto& [k, v] : boolValues) out += line(rawValue(k), v ? "true" : "false");
    return out;
}

void CEABool::decode(std::string_view text) {
    for (auto k : enumerate)
        if (auto v = findLineValue(text, rawValue(k))) boolValues[k] = equalsIgnoringCase(*v, "true");
}

// ---- CEAString

std::string CEAString::rawValue(keys key) {
    return rawOf(kStringNames, key);
}
std::optional<CEAString::keys> CEAString::fromRaw(const std::string& raw) {
    return caseOf<keys>(kStringNames, raw);
}

std::optional<std::string> CEAString::getAttribute(keys key) const {
    auto it = stringValues.find(key);
    if (it == stringValues.end()) return std::nullopt;
    return it->second;
}

bool CEAString::setAttribute(keys key, const std::string& value) {
    if (value.find('\n') != std::string::npos || value.find('\0') != std::string::npos) {
        log().logWarning("Refused a " + rawValue(key) + " value with a line break: " + value);
        return false;
    }
    auto it = stringValues.find(key);
    if (it != stringValues.end() && it->second == value) return true;
    stringValues[key] = value;
    shouldSave = true;
    return true;
}

std::string CEAString::encode() {
    shouldSave = false;
    std::string out;
    for (const auto& [k, v] : stringValues) out += line(rawValue(k), v);
    return out;
}

void CEAString::decode(std::string_view text) {
    for (auto k : enumerate)
        if (auto v = findLineValue(text, rawValue(k))) stringValues[k] = *v;
}

// ---- CEALong

std::string CEALong::rawValue(keys key) {
    return rawOf(kLongNames, key);
}
std::optional<CEALong::keys> CEALong::fromRaw(const std::string& raw) {
    return caseOf<keys>(kLongNames, raw);
}

std::optional<uint64_t> CEALong::getAttribute(keys key) const {
    auto it = longValues.find(key);
    if (it == longValues.end()) return std::nullopt;
    return it->second;
}

void CEALong::setAttribute(keys key, uint64_t value) {
    auto it = longValues.find(key);
    if (it != longValues.end() && it->second == value) return;
    longValues[key] = value;
    shouldSave = true;
}

std::string CEALong::encode() {
    shouldSave = false;
    std::string out;
    for (const auto& [k, v] : longValues) out += line(rawValue(k), std::to_string(v));
    return out;
}

bool CEALong::decode(std::string_view text) {
    bool malformed = false;
    for (auto k : enumerate) {
        auto v = findLineValue(text, rawValue(k));
        if (!v) continue;
        if (auto n = parseUnsigned(*v)) {
            longValues[k] = *n;
        } else {
            longValues.erase(k);
            malformed = true;
        }
    }
    return malformed;
}

// ---- CEADate

std::string CEADate::rawValue(keys key) {
    return rawOf(kDateNames, key);
}
std::optional<CEADate::keys> CEADate::fromRaw(const std::string& raw) {
    return caseOf<keys>(kDateNames, raw);
}

double CEADate::now() {
    auto since1970 =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return since1970 - kReferenceDateSince1970;
}

std::string CEADate::describeDate(double secondsSince2001) {
    // Years 1 to 9999 only: beyond them the calendar text means nothing and time_t may overflow.
    constexpr double kFirst = -63113904000.0;  // 0001-01-01 relative to 2001
    constexpr double kLast = 252423993599.0;   // 9999-12-31 23:59:59 relative to 2001
    if (!std::isfinite(secondsSince2001) || secondsSince2001 < kFirst || secondsSince2001 > kLast)
        return platform::shortestDecimal(secondsSince2001);
    auto t = static_cast<time_t>(std::floor(secondsSince2001 + kReferenceDateSince1970));
    struct tm parts {};
    if (!gmtime_r(&t, &parts)) return platform::shortestDecimal(secondsSince2001);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d +0000", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buf;
}

std::optional<double> CEADate::getAttribute(keys key) const {
    auto it = dateValues.find(key);
    if (it == dateValues.end()) return std::nullopt;
    return it->second;
}

bool CEADate::setAttribute(keys key, double value) {
    if (!std::isfinite(value)) return false;
    auto it = dateValues.find(key);
    if (it != dateValues.end() && it->second == value) return true;
    dateValues[key] = value;
    shouldSave = true;
    return true;
}

std::string CEADate::encode() {
    shouldSave = false;
    std::string out;
    for (const auto& [k, v] : dateValues)
        out += line(rawValue(k), describeDate(v) + " = " + platform::shortestDecimal(v));
    return out;
}

bool CEADate::decode(std::string_view text) {
    bool malformed = false;
    for (auto k : enumerate) {
        auto v = findLineValue(text, rawValue(k));
        if (!v) continue;
        size_t eq = v->find(" = ");
        if (eq == std::string::npos) {
            malformed = true;
            continue;
        }
        if (auto seconds = parseFiniteDouble(std::string_view(*v).substr(eq + 3)))
            dateValues[k] = *seconds;
        else
            malformed = true;
    }
    return malformed;
}

// ---- CEAStatus

std::string CEAStatus::rawValue(keys key) {
    return rawOf(kStatusNames, key);
}
std::optional<CEAStatus::keys> CEAStatus::fromRaw(const std::string& raw) {
    return caseOf<keys>(kStatusNames, raw);
}

void CEAStatus::setStatus(keys value) {
    if (status == value) return;
    status = value;
    shouldSave = true;
}

std::string CEAStatus::encode() {
    shouldSave = false;
    return line(keyName, rawValue(status));
}

// ---- CEAErrorStatus

std::string CEAErrorStatus::rawValue(keys key) {
    return rawOf(kErrorNames, key);
}
std::string CEAErrorStatus::rawValue(genres genre) {
    return rawOf(kGenreNames, genre);
}
std::optional<CEAErrorStatus::keys> CEAErrorStatus::fromRaw(const std::string& raw) {
    return caseOf<keys>(kErrorNames, raw);
}
std::optional<CEAErrorStatus::genres> CEAErrorStatus::genreFromRaw(const std::string& raw) {
    return caseOf<genres>(kGenreNames, raw);
}

void CEAErrorStatus::setStatus(keys value) {
    if (status == value) return;
    status = value;
    shouldSave = true;
}

void CEAErrorStatus::setGenre(genres value) {
    if (genre == value) return;
    genre = value;
    shouldSave = true;
}

std::string CEAErrorStatus::encode() {
    shouldSave = false;
    return line(keyName, rawValue(status)) + line(genreName, rawValue(genre));
}

bool CEAErrorStatus::decode(std::string_view text) {
    bool malformed = false;
    if (auto v = findLineValue(text, keyName)) {
        if (auto k = fromRaw(*v))
            status = *k;
        else
            malformed = true;
    }
    if (auto v = findLineValue(text, genreName)) {
        if (auto g = genreFromRaw(*v))
            genre = *g;
        else
            malformed = true;
    }
    return malformed;
}

}  // namespace tw
