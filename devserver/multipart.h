// Streaming reader of multipart/form-data bodies. Bytes are fed as they arrive from the socket; part
// data is handed on as soon as it cannot be the start of the next delimiter, so a file part of any
// size passes through with a buffer of a few kilobytes. Not thread-safe: one reader per request.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tw::devserver {

struct MultipartPart {
    std::string name;  // the "name" of Content-Disposition
    std::optional<std::string> filename;
    std::string contentType;  // "" when the part has none
};

class MultipartReader {
public:
    // Each callback returns false to stop reading; feed() then returns false.
    struct Handler {
        std::function<bool(const MultipartPart&)> begin;
        std::function<bool(std::string_view)> data;
        std::function<bool()> end;
    };

    // How the body ended when finish() is called.
    enum class Ending {
        closed,          // "--boundary--" was seen
        afterDelimiter,  // the body stopped right after "--boundary" CR LF (a fragment that is not closed)
        truncated,       // the body stopped inside a part or its headers
        malformed,       // the bytes are not multipart with this boundary
    };

    MultipartReader(std::string boundary, Handler handler);

    // Extracts the boundary parameter of a multipart/form-data Content-Type value.
    static std::optional<std::string> boundaryOf(std::string_view contentType);

    bool feed(const char* data, size_t size);
    Ending finish();

private:
    enum class State { preamble, afterDelimiter, headers, body, epilogue, failed };
    bool run();
    bool parseHeaders(std::string_view block, MultipartPart& part);

    std::string delimiter_;  // CR LF "--" boundary
    Handler handler_;
    State state_ = State::preamble;
    std::string buffer_;
    bool stopped_ = false;  // a callback asked to stop
};

}  // namespace tw::devserver
