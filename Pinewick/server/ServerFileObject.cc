#include "Pinewick/server/ServerFileObject.h"

#include <time.h>

#include <nlohmann/json.hpp>

#include "Pinewick/config/Log.h"
#include "Pinewick/server/TextReplace.h"

namespace tw {
namespace {

constexpr int64_t kReferenceUnix = 978307200;  // 2001-01-01 00:00:00 UTC
constexpr int64_t kMagicGreyUnix = 443779200;  // 1984-01-24 08:00:00 UTC

// A JSON number (or Boolean, which the server's JSON library also treats as a number) as a flag.
std::optional<bool> numberAsBool(const nlohmann::json& v) {
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number_float()) return v.get<double>() != 0.0;
    if (v.is_number()) return v.get<int64_t>() != 0;
    return std::nullopt;
}

std::optional<uint64_t> numberAsUnsigned(const nlohmann::json& v) {
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    if (v.is_number_integer()) return v.get<int64_t>() < 0 ? 0 : static_cast<uint64_t>(v.get<int64_t>());
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!(d > 0)) return 0;
        if (d >= 18446744073709551615.0) return UINT64_MAX;
        return static_cast<uint64_t>(d);
    }
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    return std::nullopt;
}

bool allDigits(const std::string& s, size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

int num(const std::string& s, size_t from, size_t count) {
    return std::stoi(s.substr(from, count));
}

}  // namespace

const char* ServerFileObject::toString(modeKeys m) {
    switch (m) {
        case modeKeys::Inherit:
            return "Inherit";
        case modeKeys::Manual:
            return "Manual";
        case modeKeys::Automatic:
            return "Automatic";
    }
    return "Inherit";
}

std::optional<ServerFileObject::modeKeys> ServerFileObject::modeFromRaw(const std::string& raw) {
    if (raw == "Inherit") return modeKeys::Inherit;
    if (raw == "Manual") return modeKeys::Manual;
    if (raw == "Automatic") return modeKeys::Automatic;
    return std::nullopt;
}

ServerFileObject::BrindleDateFormatter& ServerFileObject::BrindleDateFormatter::sharedInstance() {
    static BrindleDateFormatter f;
    return f;
}

Date ServerFileObject::BrindleDateFormatter::referenceDate() {
    return Date(std::chrono::seconds(kReferenceUnix));
}

Date ServerFileObject::BrindleDateFormatter::magicGreyDate() {
    return Date(std::chrono::seconds(kMagicGreyUnix));
}

Date ServerFileObject::BrindleDateFormatter::remoteToLocalDate(const std::string& text) const {
    // yyyy-MM-ddTHH:mm:ss.SSSZ, exactly.
    const std::string& s = text;
    bool shape = s.size() == 24 && allDigits(s, 0, 4) && s[4] == '-' && allDigits(s, 5, 2) && s[7] == '-' &&
                 allDigits(s, 8, 2) && s[10] == 'T' && allDigits(s, 11, 2) && s[13] == ':' &&
                 allDigits(s, 14, 2) && s[16] == ':' && allDigits(s, 17, 2) && s[19] == '.' &&
                 allDigits(s, 20, 3) && s[23] == 'Z';
    if (!shape) return referenceDate();
    struct tm tm {};
    tm.tm_year = num(s, 0, 4) - 1900;
    tm.tm_mon = num(s, 5, 2) - 1;
    tm.tm_mday = num(s, 8, 2);
    tm.tm_hour = num(s, 11, 2);
    tm.tm_min = num(s, 14, 2);
    tm.tm_sec = num(s, 17, 2);
    int ms = num(s, 20, 3);
    // Years a Date cannot hold are not dates the server can mean.
    if (tm.tm_year < 1700 - 1900 || tm.tm_year > 2200 - 1900) return referenceDate();
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return referenceDate();
    struct tm check = tm;
    time_t t = timegm(&tm);
    if (tm.tm_mday != check.tm_mday || tm.tm_mon != check.tm_mon) return referenceDate();  // 31 February
    Date d = Date(std::chrono::seconds(t)) + std::chrono::milliseconds(ms);
    if (d == magicGreyDate()) return std::chrono::system_clock::now();
    return d;
}

std::string describeDate(Date date) {
    time_t t = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(date));
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return buf;
}

std::optional<ServerFileObject> ServerFileObject::fromConflictAnswer(const std::optional<std::string>& body) {
    auto doc = nlohmann::json::parse(body.value_or(""), nullptr, false);
    if (!doc.is_object()) return std::nullopt;
    auto it = doc.find("document_info");
    if (it == doc.end() || !it->is_object()) return std::nullopt;
    return ServerFileObject(*it);
}

ServerFileObject::ServerFileObject(const nlohmann::json& p) {
    if (!p.is_object()) return;
    auto& fmt = BrindleDateFormatter::sharedInstance();
    auto str = [&](const char* key) -> const nlohmann::json* {
        auto it = p.find(key);
        return it != p.end() && it->is_string() ? &*it : nullptr;
    };
    auto member = [&](const char* key) -> const nlohmann::json* {
        auto it = p.find(key);
        return it != p.end() ? &*it : nullptr;
    };
    if (auto* v = str("name")) name = windowsToMac(v->get<std::string>());
    if (auto* v = member("directory"))
        if (auto b = numberAsBool(*v)) isDirectory = *b;
    if (auto* v = member("size"))
        if (auto n = numberAsUnsigned(*v)) size = *n;
    if (auto* v = str("creation_time")) creationDate = fmt.remoteToLocalDate(v->get<std::string>());
    if (auto* v = str("modification_time")) modificationDate = fmt.remoteToLocalDate(v->get<std::string>());
    if (auto* v = str("mode")) {
        auto m = v->get<std::string>();
        mode = m == "AUTOMATIC" ? modeKeys::Automatic : m == "MANUAL" ? modeKeys::Manual : modeKeys::Inherit;
    }
    if (auto* v = str("permissions")) isReadOnly = v->get<std::string>() != "WRITE";
    if (auto* v = str("type")) diskType = v->get<std::string>();
    if (auto* v = member("allow_sharing"))
        if (auto b = numberAsBool(*v)) allowSharing = *b;
    if (auto* v = str("revision")) revision = v->get<std::string>();
}

ServerFileObject::ServerFileObject(const std::string& filename, const std::optional<std::string>& rev,
                                   const std::optional<uint64_t>& serverFileSize) {
    name = filename;
    if (rev) {
        revision = *rev;
        isDirectory = false;
    }
    if (serverFileSize) size = *serverFileSize;
}

std::string ServerFileObject::windowsToMac(const std::string& input) {
    std::string s = input;
    const char* restored[] = {"\"", "*", ":", "<", ">", "?", "\\", "|", " ", "."};
    for (unsigned i = 0; i < 10; ++i) replaceAll(s, privateUse(0x20 + i), restored[i]);
    return composeNFC(s);
}

bool ServerFileObject::hasUsableName() const {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string ServerFileObject::description() const {
    auto b = [](bool v) { return v ? "true" : "false"; };
    return std::string("ServerFileObject\r{") + "\r              Name: " + name +
           "\r          DiskType: " + diskType + "\r              Mode: " + toString(mode) +
           "\r          Revision: " + revision + "\r              Size: " + std::to_string(size) +
           "\r     Creation Date: " + describeDate(creationDate) +
           "\r Modification Date: " + describeDate(modificationDate) +
           "\r      Is Directory: " + b(isDirectory) + "\r      Is Read Only: " + b(isReadOnly) +
           "\r     Allow Sharing: " + b(allowSharing) + "\r}\r";
}

ServerItemFacts ServerFileObject::serverFacts() const {
    ServerItemFacts facts;
    facts.revision = revision;
    facts.size = size;
    facts.canShare = allowSharing;
    facts.readOnly = isReadOnly;
    switch (mode) {
        case modeKeys::Inherit:
            facts.mode = ServerItemFacts::Mode::Inherit;
            break;
        case modeKeys::Manual:
            facts.mode = ServerItemFacts::Mode::Manual;
            break;
        case modeKeys::Automatic:
            facts.mode = ServerItemFacts::Mode::Automatic;
            break;
    }
    return facts;
}

// ---------------------------------------------------------------- listing

bool FolderContentDetails::takeListing(const std::string& body) {
    auto doc = nlohmann::json::parse(body, nullptr, false);
    const nlohmann::json* items = nullptr;
    if (doc.is_object()) {
        rootObject = ServerFileObject(doc);
        auto it = doc.find("contents");
        if (it != doc.end() && it->is_array()) items = &*it;
    } else if (doc.is_array()) {
        items = &doc;
    } else {
        return false;
    }
    contents.clear();
    if (!items) return true;
    for (auto& e : *items) {
        if (!e.is_object()) continue;
        ServerFileObject entry(e);
        // A name that is not one plain component would address something outside this folder.
        if (!entry.hasUsableName()) {
            log().logWarning("Ignoring a server entry with an unusable name in the listing of " + localPath);
            continue;
        }
        contents.push_back(std::move(entry));
    }
    return true;
}

std::pair<normalisedResponse, serverError> FolderContentDetails::fetchFolderContents() {
    std::string serverPath = localPath == "/" ? "/" : env.serverFromLocal(localPath);
    ServerCommunicator::Pass pass;
    pass.build = [&]() -> std::optional<platform::http::Request> {
        return ServerCommunicator::makeRequest(env,
                                               ServerCommunicator::serviceBase(env) + "folders" +
                                                   ServerCommunicator::macToWindows(serverPath) +
                                                   "?type=all&includeAll=true",
                                               "GET");
    };
    pass.complete = [&](const platform::http::Result& result) {
        auto c = ServerCommunicator::handleResponse(env, result);
        switch (c.action) {
            case normalisedResponse::tryAgain:
                return normalisedResponse::tryAgain;
            case normalisedResponse::fatal:
                return normalisedResponse::fatal;
            case normalisedResponse::attemptRecovery:
                if (c.serverErrorCode == serverError::itemNotFound ||
                    c.serverErrorCode == serverError::smbFileSystemError ||
                    c.serverErrorCode == serverError::jsonResponseMissing)
                    serverErrorCode = c.serverErrorCode;
                return normalisedResponse::attemptRecovery;
            case normalisedResponse::allOkay:
                break;
        }
        if (!takeListing(result.data.value_or(""))) {
            log().logWarning("Listing of " + localPath + " answered with a body that is not a listing");
            return normalisedResponse::fatal;
        }
        return normalisedResponse::allOkay;
    };
    auto outcome = ServerCommunicator::requestCycle(env, pass);
    return {outcome, serverErrorCode};
}

normalisedResponse FetchAttributes::performServerAction() {
    std::string serverPath = env.serverFromLocal(localPath);
    ServerCommunicator::Pass pass;
    pass.build = [&]() -> std::optional<platform::http::Request> {
        return ServerCommunicator::makeRequest(
            env,
            ServerCommunicator::serviceBase(env) + "folders" + ServerCommunicator::macToWindows(serverPath),
            "GET");
    };
    pass.complete = [&](const platform::http::Result& result) {
        auto c = ServerCommunicator::handleResponse(env, result);
        switch (c.action) {
            case normalisedResponse::attemptRecovery:
                serverErrorCode = c.serverErrorCode;
                if (c.serverErrorCode != serverError::itemNotFound)
                    log().logWarning(
                        prettyLog(std::string("Unhandled AttemptRecovery ") + toString(c.serverErrorCode),
                                  __FILE__, "performServerAction()"));
                return normalisedResponse::attemptRecovery;
            case normalisedResponse::fatal:
                return normalisedResponse::fatal;
            case normalisedResponse::tryAgain:
                return normalisedResponse::tryAgain;
            case normalisedResponse::allOkay:
                break;
        }
        auto doc = nlohmann::json::parse(result.data.value_or(""), nullptr, false);
        if (!doc.is_object()) {
            log().logWarning("Attributes of " + localPath + " answered with a body that is not an entry");
            return normalisedResponse::fatal;
        }
        fileObject = ServerFileObject(doc);
        return normalisedResponse::allOkay;
    };
    return ServerCommunicator::requestCycle(env, pass);
}

}  // namespace tw
