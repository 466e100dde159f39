#include "devserver/multipart.h"

#include <algorithm>

namespace tw::devserver {

namespace {
constexpr size_t kMaxHeaderBlock = 16 * 1024;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Reads a parameter such as name="x" or name=x from a header value's parameter list.
std::optional<std::string> parameter(std::string_view value, std::string_view key) {
    size_t pos = 0;
    while (pos < value.size()) {
        size_t semi = value.find(';', pos);
        // A quoted value may hold a ";": find the end of the quotes first.
        size_t eq = value.find('=', pos);
        if (eq != std::string_view::npos && (semi == std::string_view::npos || eq < semi)) {
            std::string_view k = trim(value.substr(pos, eq - pos));
            size_t vstart = eq + 1;
            std::string v;
            size_t next;
            if (vstart < value.size() && value[vstart] == '"') {
                size_t close = value.find('"', vstart + 1);
                if (close == std::string_view::npos) return std::nullopt;
                v = std::string(value.substr(vstart + 1, close - vstart - 1));
                next = value.find(';', close);
            } else {
                next = semi;
                v = std::string(trim(
                    value.substr(vstart, (semi == std::string_view::npos ? value.size() : semi) - vstart)));
            }
            if (lower(k) == lower(key)) return v;
            if (next == std::string_view::npos) break;
            pos = next + 1;
        } else {
            if (semi == std::string_view::npos) break;
            pos = semi + 1;
        }
    }
    return std::nullopt;
}
}  // namespace

MultipartReader::MultipartReader(std::string boundary, Handler handler)
    : delimiter_("\r\n--" + boundary), handler_(std::move(handler)) {
    // The first delimiter may open the body without the CR LF that belongs to every later one.
    buffer_ = "\r\n";
}

std::optional<std::string> MultipartReader::boundaryOf(std::string_view contentType) {
    std::string_view type = trim(contentType.substr(0, contentType.find(';')));
    if (lower(type) != "multipart/form-data") return std::nullopt;
    size_t semi = contentType.find(';');
    if (semi == std::string_view::npos) return std::nullopt;
    auto b = parameter(contentType.substr(semi + 1), "boundary");
    if (!b || b->empty() || b->size() > 200) return std::nullopt;
    return b;
}

bool MultipartReader::feed(const char* data, size_t size) {
    if (state_ == State::failed || stopped_) return false;
    if (state_ == State::epilogue) return true;  // whatever follows the closing delimiter is ignored
    buffer_.append(data, size);
    return run();
}

bool MultipartReader::run() {
    while (true) {
        switch (state_) {
            case State::preamble: {
                size_t at = buffer_.find(delimiter_);
                if (at == std::string::npos) {
                    // Keep only what could still begin a delimiter.
                    if (buffer_.size() > delimiter_.size())
                        buffer_.erase(0, buffer_.size() - delimiter_.size());
                    return true;
                }
                buffer_.erase(0, at + delimiter_.size());
                state_ = State::afterDelimiter;
                break;
            }
            case State::afterDelimiter: {
                if (buffer_.size() < 2) return true;
                if (buffer_.compare(0, 2, "--") == 0) {
                    state_ = State::epilogue;
                    buffer_.clear();
                    return true;
                }
                // Transport padding (spaces or tabs) may follow a delimiter before its CR LF.
                size_t crlf = buffer_.find("\r\n");
                if (crlf == std::string::npos) {
                    if (buffer_.size() > 64) {
                        state_ = State::failed;
                        return false;
                    }
                    return true;
                }
                if (!trim(std::string_view(buffer_).substr(0, crlf)).empty()) {
                    state_ = State::failed;
                    return false;
                }
                buffer_.erase(0, crlf + 2);
                state_ = State::headers;
                break;
            }
            case State::headers: {
                size_t end = buffer_.find("\r\n\r\n");
                // A part without header lines starts with the empty line at once.
                if (buffer_.compare(0, 2, "\r\n") == 0) end = 0;
                if (end == std::string::npos) {
                    if (buffer_.size() > kMaxHeaderBlock) {
                        state_ = State::failed;
                        return false;
                    }
                    return true;
                }
                MultipartPart part;
                std::string_view block =
                    end == 0 ? std::string_view{} : std::string_view(buffer_).substr(0, end);
                if (!parseHeaders(block, part)) {
                    state_ = State::failed;
                    return false;
                }
                buffer_.erase(0, end == 0 ? 2 : end + 4);
                if (handler_.begin && !handler_.begin(part)) {
                    stopped_ = true;
                    return false;
                }
                state_ = State::body;
                break;
            }
            case State::body: {
                size_t at = buffer_.find(delimiter_);
                if (at == std::string::npos) {
                    // Everything but a tail that might begin the delimiter is certainly data.
                    size_t safe =
                        buffer_.size() >= delimiter_.size() ? buffer_.size() - (delimiter_.size() - 1) : 0;
                    if (safe > 0) {
                        if (handler_.data && !handler_.data(std::string_view(buffer_).substr(0, safe))) {
                            stopped_ = true;
                            return false;
                        }
                        buffer_.erase(0, safe);
                    }
                    return true;
                }
                if (at > 0 && handler_.data && !handler_.data(std::string_view(buffer_).substr(0, at))) {
                    stopped_ = true;
                    return false;
                }
                buffer_.erase(0, at + delimiter_.size());
                if (handler_.end && !handler_.end()) {
                    stopped_ = true;
                    return false;
                }
                state_ = State::afterDelimiter;
                break;
            }
            case State::epilogue:
                buffer_.clear();
                return true;
            case State::failed:
                return false;
        }
    }
}

bool MultipartReader::parseHeaders(std::string_view block, MultipartPart& part) {
    bool sawDisposition = false;
    size_t pos = 0;
    while (pos <= block.size()) {
        size_t eol = block.find("\r\n", pos);
        std::string_view line =
            block.substr(pos, eol == std::string_view::npos ? block.size() - pos : eol - pos);
        if (!line.empty()) {
            size_t colon = line.find(':');
            if (colon == std::string_view::npos) return false;
            std::string key = lower(trim(line.substr(0, colon)));
            std::string_view value = trim(line.substr(colon + 1));
            if (key == "content-disposition") {
                std::string_view kind = trim(value.substr(0, value.find(';')));
                if (lower(kind) != "form-data") return false;
                size_t semi = value.find(';');
                if (semi == std::string_view::npos) return false;
                auto name = parameter(value.substr(semi + 1), "name");
                if (!name) return false;
                part.name = *name;
                part.filename = parameter(value.substr(semi + 1), "filename");
                sawDisposition = true;
            } else if (key == "content-type") {
                part.contentType = std::string(value);
            }
        }
        if (eol == std::string_view::npos) break;
        pos = eol + 2;
    }
    return sawDisposition;
}

MultipartReader::Ending MultipartReader::finish() {
    switch (state_) {
        case State::epilogue:
            return Ending::closed;
        case State::headers:
            return buffer_.empty() ? Ending::afterDelimiter : Ending::truncated;
        case State::afterDelimiter:
            // "--boundary" followed by nothing, or by a lone CR: a fragment cut inside its final CR LF.
            return Ending::truncated;
        case State::body:
            return Ending::truncated;
        case State::preamble:
        case State::failed:
            return Ending::malformed;
    }
    return Ending::malformed;
}

}  // namespace tw::devserver
