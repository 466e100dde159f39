// How the platform layers report trouble they cannot hand back to a caller (a notification that could
// not be posted, a listener that lost its bus). The platform sits below the application's logger, so
// the logger installs itself here as the sink; until then lines go to standard error.
//
// Thread-safety: both functions may be called from any thread; the sink is called on the reporting
// thread and must be safe for that.
#pragma once

#include <functional>
#include <string>

namespace tw::platform {

enum class DiagnosticLevel { fatal, warning, debug };

using DiagnosticSink = std::function<void(DiagnosticLevel level, const std::string& message)>;

// Replaces the sink; an empty function restores the standard-error default.
void setDiagnosticSink(DiagnosticSink sink);
void reportDiagnostic(DiagnosticLevel level, const std::string& message);

}  // namespace tw::platform
