#include "Pinewick/engine/TLEvent.h"

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/TimeLineManager.h"

namespace tw {

void TLEvent::performAction() {
    Logger::sharedInstance().logDebug("Calling base function");
}

std::optional<std::string> TLEvent::timelineSave() {
    return std::nullopt;
}

std::string TLEvent::description() {
    return "Base should be overridden";
}

std::optional<std::string> TLEvent::extractLine(const std::string& text, const std::string& attribute) {
    // Anchored to a header line, so a path that holds another key's text ("/x/To: y") is never read
    // for that key.
    return findLineValue(text, attribute, kRecordIndent);
}

std::optional<std::string> TLEvent::extractBlock(const std::string& text, const std::string& attribute) {
    std::string needle = attribute + ": {\n";
    size_t at = text.find(needle);
    if (at == std::string::npos) return std::nullopt;
    size_t start = at + needle.size();
    size_t end = text.find("\n}\n", start);
    if (end == std::string::npos) return std::nullopt;
    return text.substr(start, end - start);
}

// ---- TLDelete

TLDelete::TLDelete(std::string path, CorvaneExtendedAttributes attrs)
    : localPath(std::move(path)), xAttrs(std::move(attrs)) {}

bool TLDelete::precheck() {
    if (TimeLineManager::inIgnoreList(localPath)) return false;
    if (xAttrs.ceaBool.getAttribute(CEABool::keys::ReadOnly)) {
        // The watcher refuses these deletes; one that went through anyway is not sent to the server.
        Logger::sharedInstance().logWarning("Read-only item deleted locally, not on the server: " +
                                            localPath);
        return false;
    }
    return true;
}

void TLDelete::performAction() {
    // The server side of a local delete arrives with the delete-event work; until then the event is
    // kept in order and logged, never dropped silently.
    Logger::sharedInstance().logDebug("Delete event not carried out yet: " + localPath);
}

std::optional<std::string> TLDelete::timelineSave() {
    // The encoded attribute text (not the human-readable dump) is stored: it decodes by line without the
    // dump's header and trailer. Records in the dump form are still read back.
    return std::string("Delete {\n") + kRecordIndent + "Path: " + localPath + "\n" + kRecordIndent +
           "ExtentedAttributes: {\n" + xAttrs.encode() + "}\n" + storeEventEnd;
}

std::string TLDelete::description() {
    return "Delete: " + localPath + "\r\n" + xAttrs.description();
}

// ---- TLMove

TLMove::TLMove(std::string from, std::string to, CorvaneExtendedAttributes attrs)
    : localPathFrom(std::move(from)), localPathTo(std::move(to)), originalXAttrs(std::move(attrs)) {}

bool TLMove::precheck() {
    return !(TimeLineManager::inIgnoreList(localPathFrom) && TimeLineManager::inIgnoreList(localPathTo));
}

void TLMove::performAction() {
    Logger::sharedInstance().logDebug("Move event not carried out yet: " + localPathFrom + " to " +
                                      localPathTo);
}

std::optional<std::string> TLMove::timelineSave() {
    return std::string("Move {\n") + kRecordIndent + "From: " + localPathFrom + "\n" + kRecordIndent +
           "To: " + localPathTo + "\n" + kRecordIndent + "ExtentedAttributes: {\n" + originalXAttrs.encode() +
           "}\n" + storeEventEnd;
}

std::string TLMove::description() {
    return "Move: From Path: " + localPathFrom + "\r\nTo Path: " + localPathTo + "\r\n" +
           originalXAttrs.description();
}

}  // namespace tw
