// The facts of an item's record that gatewarden decides by when the application cannot answer a
// question for it: whether the item's content is on this machine, and whether the server lets the user
// change it. The application keeps the record on the item itself, in the extended attribute
// "user.com.meridot.tidewell" (text lines "Key: value"), and owns its format; gatewarden only reads the
// "Status", "ReadOnly" and "ServerFileSize" lines and never writes a record.
//
// The reading mirrors the application's own, so that an operation is decided alike whether the
// application answers or not: a missing, over-long or non-UTF-8 attribute, a missing Status line or a
// state the application does not know leave the item unclassified. The one liberty: a last line
// without its line feed still counts (the application always ends its lines; a record cut short
// should rather keep a placeholder from being read).
//
// Thread-safety: pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace gw {

struct ItemRecord {
    enum class Content {
        unclassified,  // no record, or no state the application would act on ("Unknown")
        local,         // the content is here (Regular, RequireUpload, LocalOnly, ...)
        notLocal,      // Placeholder, ErrorPlaceHolder, RequireDownload: only the server has it
    };
    Content content = Content::unclassified;
    bool readOnly = false;  // "ReadOnly: true": the server refuses changes to the item
    // "ServerFileSize": the size of the server's content, which a placeholder shows to other programs.
    std::uint64_t serverSize = 0;
};

// The record's text as the application writes it.
ItemRecord parseItemRecord(std::string_view text);

// The record of the item `fd` refers to (any descriptor, O_PATH ones included). An item without a
// record, or one that cannot be read, is unclassified.
ItemRecord readItemRecord(int fd);

}  // namespace gw
