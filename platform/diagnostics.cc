#include "platform/diagnostics.h"

#include <stdio.h>

#include <memory>
#include <mutex>

namespace tw::platform {

namespace {
std::mutex g_mutex;
std::shared_ptr<const DiagnosticSink> g_sink;
}  // namespace

void setDiagnosticSink(DiagnosticSink sink) {
    std::shared_ptr<const DiagnosticSink> next;
    if (sink) next = std::make_shared<const DiagnosticSink>(std::move(sink));
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sink = std::move(next);
}

void reportDiagnostic(DiagnosticLevel level, const std::string& message) {
    std::shared_ptr<const DiagnosticSink> sink;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        sink = g_sink;
    }
    if (sink) {
        (*sink)(level, message);
        return;
    }
    const char* tag = level == DiagnosticLevel::fatal     ? "fatal"
                      : level == DiagnosticLevel::warning ? "warning"
                                                          : "debug";
    fprintf(stderr, "tidewell %s: %s\n", tag, message.c_str());
}

}  // namespace tw::platform
