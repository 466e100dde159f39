#include "devserver/wire.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace tw::devserver {

int statusForError(int errorId) {
    switch (errorId) {
        case 1:
        case 6:
            return 401;
        case 14:
        case 18:
        case 20:
            return 404;
        case 19:
        case 1077:
        case 1119:
            return 409;
        case 22:
            return 507;
        case 26:
        case 1112:
            return 423;
        case 1021:
        case 1033:
        case 1045:
        case 1046:
        case 1047:
        case 1062:
        case 1082:
        case 1083:
            return 403;
        case 1039:
            return 426;
        case 1050:
            return 413;
        case 1066:
            return 504;
        case 13:
        case 1001:
            return 500;
        default:
            return 400;
    }
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string percentEncode(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        bool keep = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                    c == '/';
        if (keep) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::optional<std::map<std::string, std::string>> parseForm(std::string_view body) {
    std::map<std::string, std::string> form;
    size_t pos = 0;
    while (pos <= body.size()) {
        size_t amp = body.find('&', pos);
        if (amp == std::string_view::npos) amp = body.size();
        std::string_view pair = body.substr(pos, amp - pos);
        if (!pair.empty()) {
            size_t eq = pair.find('=');
            auto key = percentDecode(pair.substr(0, eq), true);
            auto value =
                percentDecode(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1), true);
            if (!key || !value) return std::nullopt;
            form.emplace(std::move(*key), std::move(*value));
        }
        pos = amp + 1;
    }
    return form;
}

std::string formatTime(int64_t millis) {
    int64_t secs = millis >= 0 ? millis / 1000 : (millis - 999) / 1000;
    int ms = static_cast<int>(millis - secs * 1000);
    time_t t = static_cast<time_t>(secs);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

std::optional<int64_t> parseTime(std::string_view text) {
    // yyyy-MM-ddTHH:mm:ss.SSSZ is exactly 24 characters.
    if (text.size() != 24) return std::nullopt;
    auto digits = [&](size_t at, size_t n) -> int {
        int v = 0;
        for (size_t i = at; i < at + n; ++i) {
            if (text[i] < '0' || text[i] > '9') return -1;
            v = v * 10 + (text[i] - '0');
        }
        return v;
    };
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
        text[19] != '.' || text[23] != 'Z')
        return std::nullopt;
    int year = digits(0, 4), mon = digits(5, 2), day = digits(8, 2), hour = digits(11, 2),
        min = digits(14, 2), sec = digits(17, 2), ms = digits(20, 3);
    if (year < 0 || mon < 1 || mon > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || min < 0 ||
        min > 59 || sec < 0 || sec > 60 || ms < 0)
        return std::nullopt;
    using namespace std::chrono;
    year_month_day ymd{std::chrono::year{year}, month{static_cast<unsigned>(mon)},
                       std::chrono::day{static_cast<unsigned>(day)}};
    if (!ymd.ok()) return std::nullopt;
    int64_t days = sys_days{ymd}.time_since_epoch().count();
    return ((days * 24 + hour) * 60 + min) * 60000LL + sec * 1000LL + ms;
}

int64_t nowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool isValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else
            return false;
        if (i + n >= s.size()) return false;
        for (size_t k = 1; k <= n; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

bool isLegalName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    if (!isValidUtf8(name)) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return false;
        switch (c) {
            case '"':
            case '*':
            case ':':
            case '<':
            case '>':
            case '?':
            case '\\':
            case '|':
            case '/':
                return false;
            default:
                break;
        }
    }
    char last = name.back();
    return last != ' ' && last != '.';
}

ParsedPath parseServerPath(std::string_view decoded) {
    ParsedPath result;
    if (decoded.empty()) {
        result.status = ParsedPath::Status::ok;
        return result;
    }
    if (decoded.front() != '/' || decoded.find('\0') != std::string_view::npos) return result;
    std::string_view rest = decoded.substr(1);
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.empty()) {
        result.status = ParsedPath::Status::ok;
        return result;
    }
    bool illegal = false;
    size_t pos = 0;
    while (true) {
        size_t slash = rest.find('/', pos);
        std::string_view name =
            rest.substr(pos, slash == std::string_view::npos ? rest.size() - pos : slash - pos);
        if (name.empty() || name == "." || name == "..") return result;  // malformed
        if (!isLegalName(name)) illegal = true;
        result.names.emplace_back(name);
        if (slash == std::string_view::npos) break;
        pos = slash + 1;
    }
    result.status = illegal ? ParsedPath::Status::illegalName : ParsedPath::Status::ok;
    return result;
}

std::string joinPath(const std::vector<std::string>& names) {
    if (names.empty()) return "/";
    std::string out;
    for (const auto& n : names) {
        out += '/';
        out += n;
    }
    return out;
}

}  // namespace tw::devserver
