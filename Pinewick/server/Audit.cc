#include "Pinewick/server/Audit.h"

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/TextUtils.h"
#include "Pinewick/server/ServerCredentials.h"
#include "platform/dispatch.h"
#include "platform/files.h"

namespace tw {
namespace {

// The extension as a file name has it: after the last "." of the last component, unless that "." is
// the name's first character (".profile" has none).
std::string extensionOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    return name.substr(dot + 1);
}

}  // namespace

std::string AuditStatistics::Stats::description() const {
    return "Stats(fileCount: " + std::to_string(fileCount) + ", fileSize: " + std::to_string(fileSize) +
           ", needUploadCount: " + std::to_string(needUploadCount) +
           ", needUploadSize: " + std::to_string(needUploadSize) + ")";
}

void AuditStatistics::report(const ServerEnvironment& env, std::function<void()> done) {
    platform::DispatchQueue::global(platform::QoS::background)
        .async([&env, done = std::move(done)]() mutable {
            AuditStatistics stats(env);
            stats.reportNow(std::move(done));
        });
}

void AuditStatistics::reportNow(std::function<void()> done) {
    for (const auto& folder : env.activeFolders()) scanFolder(folder);
    createSummary();
    // `done` comes after both the answer and the log line below, whichever is last.
    auto arrivals = std::make_shared<std::atomic<int>>(0);
    auto arrive = [arrivals, done = std::move(done)] {
        if (++*arrivals == 2 && done) done();
    };
    Audit(env).auditSend(*this, [arrive](normalisedResponse) { arrive(); });
    log().logAudit("Reporting statistic " + totalStats.description());
    arrive();
}

void AuditStatistics::scanFolder(const std::string& localFolder) {
    std::error_code ec;
    std::filesystem::directory_iterator it(localFolder, ec);
    if (ec) return;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) return;
        std::string path = localFolder + "/" + it->path().filename().string();
        auto attrs = platform::attributesOfItem(path);
        if (!attrs) continue;
        // A symbolic link is reported as one and never followed, so a link cannot loop the walk.
        if (attrs->type == platform::kFileTypeDirectory)
            scanFolder(path);
        else if (attrs->type == platform::kFileTypeRegular)
            auditFile(path, attrs->size);
    }
}

void AuditStatistics::auditFile(const std::string& filePath, uint64_t fileSize) {
    if (env.inIgnoreList(filePath)) return;
    std::string key = lowercased(extensionOf(filePath));
    auto status = env.itemRecords().load(filePath).status;
    bool pending = status == CEAStatus::keys::RequireUpload || status == CEAStatus::keys::Unknown;
    Stats& s = fileTypes[key];
    s.fileCount += 1;
    s.fileSize += fileSize;
    if (pending) {
        s.needUploadCount += 1;
        s.needUploadSize += fileSize;
    }
}

void AuditStatistics::createSummary() {
    for (const auto& [key, s] : fileTypes) {
        totalStats.fileCount += s.fileCount;
        totalStats.fileSize += s.fileSize;
        totalStats.needUploadCount += s.needUploadCount;
        totalStats.needUploadSize += s.needUploadSize;
    }
}

std::string Audit::reportDocument(const AuditStatistics::Stats& totals) {
    // Kept in this order for people reading the report; the server reads members by name.
    nlohmann::ordered_json doc;
    doc["filesSyncPendingUpload"] = totals.needUploadCount;
    doc["sizeSyncPendingUpload"] = totals.needUploadSize;
    doc["localCacheFileCount"] = totals.fileCount;
    doc["localCacheSize"] = totals.fileSize;
    return doc.dump(2);
}

std::string Audit::reportBody(const AuditStatistics::Stats& totals) {
    return "data=" + reportDocument(totals);
}

void Audit::auditSend(const AuditStatistics& stats, std::function<void(normalisedResponse)> completion) {
    std::string body = reportBody(stats.totalStats);
    platform::DispatchQueue::global(platform::QoS::background)
        .async([&env = env, body, completion = std::move(completion)] {
            normalisedResponse outcome = normalisedResponse::fatal;
            if (ServerCommunicator::ready(env)) {
                auto& c = env.account();
                auto request = ServerCommunicator::makeRequest(
                    env, c.serverProtocol() + "://" + c.serverName() + "/" + c.auditEndpoint() + "/", "POST");
                request.body = body;
                outcome =
                    ServerCommunicator::handleResponse(env, ServerCommunicator::send(std::move(request)))
                        .action;
                if (outcome != normalisedResponse::allOkay)
                    log().logWarning("Failed to audit statistics " + body);
            }
            if (completion) completion(outcome);
        });
}

}  // namespace tw
