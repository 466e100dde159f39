// Text between the engine's UTF-8 strings and Qt's widgets.
//
// Thread-safety: pure functions.
#pragma once

#include <QString>
#include <string>

namespace tw::ui {

inline QString q(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace tw::ui
