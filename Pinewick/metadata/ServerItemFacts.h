// What the server says of an item that its metadata record keeps: the facts CEAUtils copies into the
// record, and the mode that decides the state of an item not yet classified. The server code's picture
// of an item (ServerFileObject) gives them; this side needs nothing else of it.
//
// Thread-safety: a plain value.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

struct ServerItemFacts {
    // How the server wants the item's content kept here: as its parent has it, as a placeholder, or
    // fetched at once.
    enum class Mode { Inherit, Manual, Automatic };

    std::string revision = "0";
    uint64_t size = 0;
    bool canShare = false;
    bool readOnly = false;
    Mode mode = Mode::Inherit;
};

}  // namespace tw
