// Listings, downloads, uploads, tree changes and resumable uploads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "devserver/server_internal.h"
#include "platform/casefold.h"

namespace tw::devserver {

using namespace detail;

// ---------------------------------------------------------------------------------------------------
// Folders: listing, attributes, download, upload, create folder, move, delete

void DevServer::Impl::folders(Exchange& ex, const std::string& rest) {
    ParsedPath p = parseServerPath(rest);
    if (p.status == ParsedPath::Status::malformed)
        return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "malformed path"}});
    if (p.status == ParsedPath::Status::illegalName) return sendError(ex, error_id::illegalFilename);
    const std::string& method = ex.req.method;
    if (method == "GET") {
        if (ex.hasQuery("revision")) return download(ex, p);
        return listOrAttributes(ex, p);
    }
    if (method == "POST") {
        if (ex.req.has_header(kMultipartHeader)) return upload(ex, p);
        return formRequest(ex, p);
    }
    if (method == "DELETE") return remove(ex, p);
    sendError(ex, error_id::badRequest);
}

void DevServer::Impl::listOrAttributes(Exchange& ex, const ParsedPath& p) {
    bool listing = ex.hasQuery("type") || ex.hasQuery("includeAll");
    std::string path = joinPath(p.names);
    Item item;
    if (p.names.empty()) {
        item = store->rootItem();
    } else {
        auto found = store->find(path);
        if (!found) return sendError(ex, error_id::itemNotFound);
        item = *found;
    }
    json doc = itemJson(item);
    if (listing) {
        json contents = json::array();
        if (item.isDir)
            for (const auto& child : store->children(item.path)) contents.push_back(itemJson(child));
        doc["contents"] = contents;
    }
    sendJson(ex, 200, doc);
}

void DevServer::Impl::download(Exchange& ex, const ParsedPath& p) {
    if (p.names.empty()) return sendError(ex, error_id::fileDownloadFailed);
    std::optional<uint64_t> skip, count;
    if (ex.hasQuery("skip") && !(skip = parseCount(ex.queryValue("skip"))))
        return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "skip is a decimal count"}});
    if (ex.hasQuery("count") && !(count = parseCount(ex.queryValue("count"))))
        return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "count is a decimal count"}});
    auto handle = std::make_shared<tw::platform::UniqueFd>();
    Outcome o = store->openForRead(joinPath(p.names), ex.queryValue("revision"), *handle);
    if (o.errorId != 0) return sendOutcome(ex, o);
    struct stat st {};
    if (::fstat(handle->get(), &st) != 0) return sendError(ex, error_id::fileDownloadFailed);
    uint64_t size = static_cast<uint64_t>(st.st_size);
    uint64_t from = skip.value_or(0);
    if (from > size)
        return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "skip beyond the end"}});
    uint64_t length = count.value_or(size - from);
    if (length > size - from)
        return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "count beyond the end"}});
    ex.res.status = 200;
    ex.res.set_header("X-Revision", o.item->revision);
    if (length == 0) {
        if (ex.dropResponseAfter) {
            ex.cut = true;
            return;
        }
        ex.res.set_content("", "application/octet-stream");
        return;
    }
    std::optional<uint64_t> limit = ex.dropResponseAfter;
    if (limit && *limit == 0) {
        ex.cut = true;
        return;
    }
    const int holdMs = ex.holdBeforeCutMs;
    ex.res.set_content_provider(
        static_cast<size_t>(length), "application/octet-stream",
        [handle, from, limit, holdMs](size_t offset, size_t want, httplib::DataSink& sink) {
            if (limit && offset >= *limit) {
                // A peer that stalls mid-body before it goes away.
                if (holdMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
                return false;
            }
            size_t n = std::min(want, kIoChunk);
            if (limit) n = std::min<size_t>(n, *limit - offset);
            std::vector<char> buf(n);
            ssize_t got = ::pread(handle->get(), buf.data(), n, static_cast<off_t>(from + offset));
            if (got <= 0) return false;  // the file shrank under us: end the connection short
            return sink.write(buf.data(), static_cast<size_t>(got));
        });
}

void DevServer::Impl::upload(Exchange& ex, const ParsedPath& p) {
    std::string path = joinPath(p.names);
    TempFile temp = store->makeTemp();
    if (!temp.valid()) return sendError(ex, error_id::smbFileSystemError);
    UploadBody body;
    BufferedWriter writer(temp.fd());
    std::optional<std::string> revision;
    uint64_t declared = 0;
    int64_t ctime = 0, mtime = 0;
    auto beforeFile = [&]() -> int {
        auto& f = body.fields;
        if (!f.count("operation") || f["operation"] != "create" || !f.count("size") || !f.count("revision") ||
            !f.count("creation_time") || !f.count("modification_time")) {
            body.message =
                "operation=create, creation_time, modification_time, size and revision are required";
            return error_id::badRequest;
        }
        auto size = parseCount(f["size"]);
        auto c = parseTime(f["creation_time"]);
        auto m = parseTime(f["modification_time"]);
        if (!size || !c || !m) {
            body.message = "size or a time is malformed";
            return error_id::badRequest;
        }
        declared = *size;
        ctime = *c;
        mtime = *m;
        revision = f["revision"];
        Outcome o = store->checkUpload(path, revision, declared, ex.user, currentQuota());
        if (o.errorId == error_id::revisionsDoNotMatch) body.message = "revision";
        return o.errorId;
    };
    auto onFile = [&](const char* data, size_t size) {
        if (body.fileBytes + size > declared) {
            body.errorId = error_id::badRequest;
            body.message = "more file bytes than the size field says";
            return false;
        }
        body.fileBytes += size;
        return writer.write(data, size);
    };
    if (!readMultipart(ex, body, beforeFile, onFile)) return;  // connection gone
    if (!writer.flush()) return sendError(ex, error_id::smbFileSystemError);
    if (body.errorId == error_id::revisionsDoNotMatch) {
        Outcome o = store->checkUpload(path, revision, declared, ex.user, currentQuota());
        return sendOutcome(ex, o.errorId ? o : Outcome::fail(error_id::revisionsDoNotMatch));
    }
    if (body.errorId != 0) return sendError(ex, body.errorId, std::nullopt, {{"message", body.message}});
    if (body.ending != MultipartReader::Ending::closed || !body.fileDone)
        return sendError(ex, error_id::badRequest, std::nullopt,
                         {{"message", "multipart body is not complete"}});
    if (body.fileBytes != declared)
        return sendError(ex, error_id::badRequest, std::nullopt,
                         {{"message", "file bytes differ from size"}});
    sendOutcome(ex,
                store->commitUpload(path, temp, revision, declared, ctime, mtime, ex.user, currentQuota()));
}

namespace detail {

bool readMultipart(Exchange& ex, UploadBody& out, const std::function<int()>& beforeFile,
                   const std::function<bool(const char*, size_t)>& onFile) {
    auto boundary = MultipartReader::boundaryOf(ex.req.get_header_value(kMultipartHeader));
    if (!boundary) {
        out.errorId = error_id::badRequest;
        out.message = "multipart/form-data needs a boundary";
        return true;  // the dispatcher drains the body
    }
    enum class Current { none, field, file };
    Current current = Current::none;
    std::string fieldName, fieldValue;
    MultipartReader::Handler handler;
    handler.begin = [&](const MultipartPart& part) {
        if (part.name == "file" && part.filename) {
            if (out.sawFile) {
                out.errorId = error_id::badRequest;
                out.message = "more than one file part";
                return false;
            }
            out.sawFile = true;
            int refused = beforeFile();
            if (refused != 0) {
                out.errorId = refused;
                return false;
            }
            current = Current::file;
        } else {
            current = Current::field;
            fieldName = part.name;
            fieldValue.clear();
        }
        return true;
    };
    handler.data = [&](std::string_view data) {
        if (current == Current::file) return onFile(data.data(), data.size());
        if (fieldValue.size() + data.size() > 64 * 1024) {
            out.errorId = error_id::badRequest;
            out.message = "a form field is too long";
            return false;
        }
        fieldValue.append(data);
        return true;
    };
    handler.end = [&]() {
        if (current == Current::file)
            out.fileDone = true;
        else
            out.fields.emplace(fieldName, fieldValue);
        current = Current::none;
        return true;
    };
    MultipartReader reader(*boundary, std::move(handler));
    bool parsing = true;
    bool ok = DevServer::Impl::readBody(ex, [&](const char* data, size_t size) {
        if (parsing && size > 0) parsing = reader.feed(data, size);
    });
    out.ending = reader.finish();
    if (!ok) return false;
    if (out.errorId == 0 && out.ending == MultipartReader::Ending::malformed) {
        out.errorId = error_id::badRequest;
        out.message = "malformed multipart body";
    }
    return true;
}
}  // namespace detail

void DevServer::Impl::formRequest(Exchange& ex, const ParsedPath& p) {
    auto body = readSmallBody(ex, 64 * 1024);
    if (!body) return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "form too long"}});
    auto form = parseForm(*body);
    if (!form) return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "bad escape in form"}});
    auto field = [&](const char* key) -> std::optional<std::string> {
        auto it = form->find(key);
        if (it == form->end()) return std::nullopt;
        return it->second;
    };
    std::string operation = field("operation").value_or("");
    if (operation == "create") {
        auto name = field("name");
        auto c = field("creation_time");
        auto m = field("modification_time");
        if (!name || !c || !m)
            return sendError(ex, error_id::badRequest, std::nullopt,
                             {{"message", "name, creation_time and modification_time are required"}});
        auto ct = parseTime(*c), mt = parseTime(*m);
        if (!ct || !mt)
            return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "malformed time"}});
        if (!isLegalName(*name)) return sendError(ex, error_id::illegalFilename);
        return sendOutcome(ex, store->createFolder(joinPath(p.names), *name, *ct, *mt, ex.user));
    }
    if (operation == "move") {
        auto name = field("name");
        if (!name)
            return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "name is required"}});
        ParsedPath dest = parseServerPath(*name);
        if (dest.status == ParsedPath::Status::malformed)
            return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "malformed destination"}});
        if (dest.status == ParsedPath::Status::illegalName) return sendError(ex, error_id::illegalFilename);
        std::string overwrite = field("overwrite").value_or("false");
        if (overwrite != "true" && overwrite != "false")
            return sendError(ex, error_id::badRequest, std::nullopt,
                             {{"message", "overwrite is true or false"}});
        return sendOutcome(ex, store->move(joinPath(p.names), joinPath(dest.names), overwrite == "true",
                                           field("revision").value_or("")));
    }
    sendError(ex, error_id::badRequest, std::nullopt, {{"message", "operation is create or move"}});
}

void DevServer::Impl::remove(Exchange& ex, const ParsedPath& p) {
    Outcome o = store->remove(joinPath(p.names), ex.queryValue("revision"));
    if (o.errorId != 0) return sendOutcome(ex, o);
    sendJson(ex, 200, json::object());
}

// ---------------------------------------------------------------------------------------------------
// Resumable upload

void DevServer::Impl::resumeUpload(Exchange& ex, const std::string& rest) {
    ParsedPath p = parseServerPath(rest);
    if (p.status == ParsedPath::Status::malformed || p.names.empty())
        return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "malformed path"}});
    if (p.status == ParsedPath::Status::illegalName) return sendError(ex, error_id::illegalFilename);
    std::string id = ex.queryValue("resume_id");
    if (!isResumeId(id))
        return sendError(ex, error_id::badRequest, std::nullopt,
                         {{"message", "resume_id is missing or malformed"}});
    if (ex.req.method == "GET") return resumeStatus(ex, joinPath(p.names), id);
    if (ex.req.method == "POST") return resumeAppend(ex, joinPath(p.names), id);
    sendError(ex, error_id::badRequest);
}

void DevServer::Impl::resumeStatus(Exchange& ex, const std::string& path, const std::string& id) {
    bool active;
    {
        std::lock_guard lock(mutex);
        active = activeResumes.count(id) != 0;
    }
    uint64_t received = 0;
    auto state = store->resume(id);
    if (state && platform::sameNameIgnoringCase(state->path, path) && state->user == ex.user)
        received = state->bytesReceived;
    bool locked = active || store->isLocked(path);
    sendJson(ex, 200,
             {{"is_locked", locked ? "true" : "false"}, {"bytes_received", std::to_string(received)}});
}

void DevServer::Impl::resumeAppend(Exchange& ex, const std::string& path, const std::string& id) {
    auto fileSize = parseCount(ex.header("br_file_size"));
    auto offset = parseCount(ex.header("br_offset"));
    if (!fileSize || !offset)
        return sendError(ex, error_id::badRequest, std::nullopt,
                         {{"message", "br_file_size and br_offset are decimal counts"}});
    std::optional<uint64_t> blockSize;
    if (ex.req.has_header("br_block_size") && !(blockSize = parseCount(ex.header("br_block_size"))))
        return sendError(ex, error_id::badRequest, std::nullopt,
                         {{"message", "br_block_size is a decimal count"}});
    for (const char* h : {"br_file_hash_type", "br_block_hash_type"})
        if (ex.req.has_header(h) && ex.header(h) != "NONE")
            return sendError(ex, error_id::badRequest, std::nullopt,
                             {{"message", "only hash type NONE is served"}});
    if (ex.req.has_header("br_new_path")) {
        auto np = percentDecode(ex.header("br_new_path"), false);
        if (!np || !platform::sameNameIgnoringCase(joinPath(parseServerPath(*np).names), path))
            return sendError(ex, error_id::badRequest, std::nullopt,
                             {{"message", "br_new_path differs from the URL"}});
    }
    int64_t now = nowMillis();
    int64_t ctime = now, mtime = now;
    for (auto [h, out] :
         {std::pair{"br_file_creation_time", &ctime}, std::pair{"br_file_modification_time", &mtime}}) {
        if (!ex.req.has_header(h)) continue;
        auto t = parseTime(ex.header(h));
        if (!t)
            return sendError(ex, error_id::badRequest, std::nullopt,
                             {{"message", std::string(h) + " is malformed"}});
        *out = *t;
    }
    std::optional<std::string> revision;
    if (ex.req.has_header("br_revision")) revision = ex.header("br_revision");
    bool start = ex.header("br_start") == "true";
    bool finish = ex.header("br_finish") == "true";
    if (*offset > *fileSize)
        return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "offset beyond size"}});

    Outcome check = store->checkUpload(path, std::nullopt, *fileSize, ex.user, currentQuota());
    if (check.errorId != 0) return sendOutcome(ex, check);

    // One request at a time may write to a resumable upload.
    {
        std::lock_guard lock(mutex);
        if (!activeResumes.insert(id).second) return sendError(ex, error_id::couldNotLockFile);
    }
    struct Release {
        Impl* impl;
        std::string id;
        ~Release() {
            std::lock_guard lock(impl->mutex);
            impl->activeResumes.erase(id);
        }
    } release{this, id};

    ResumeState state;
    auto existing = store->resume(id);
    if (start || !existing) {
        if (*offset != 0)
            return sendError(ex, error_id::badRequest, std::nullopt,
                             {{"message", "br_offset does not match"}, {"bytes_received", "0"}});
        state = ResumeState{id, path, ex.user, *fileSize, 0};
    } else {
        state = *existing;
        if (!platform::sameNameIgnoringCase(state.path, path) || state.user != ex.user ||
            state.fileSize != *fileSize)
            return sendError(ex, error_id::badRequest, std::nullopt,
                             {{"message", "resume_id belongs to another upload"}});
        if (state.bytesReceived != *offset)
            return sendError(ex, error_id::badRequest, std::nullopt,
                             {{"message", "br_offset does not match"},
                              {"bytes_received", std::to_string(state.bytesReceived)}});
    }
    tw::platform::UniqueFd part(::open(store->resumeFile(id).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!part.valid() || ::ftruncate(part.get(), static_cast<off_t>(*offset)) != 0 ||
        ::lseek(part.get(), static_cast<off_t>(*offset), SEEK_SET) < 0)
        return sendError(ex, error_id::smbFileSystemError);
    store->saveResume(state);

    UploadBody body;
    BufferedWriter writer(part.get());
    bool writeFailed = false;
    auto beforeFile = [&]() -> int {
        auto& f = body.fields;
        if (f.count("operation") && f["operation"] != "create") {
            body.message = "operation is create";
            return error_id::badRequest;
        }
        if (f.count("size") && blockSize && parseCount(f["size"]) != blockSize) {
            body.message = "size differs from br_block_size";
            return error_id::badRequest;
        }
        return 0;
    };
    auto onFile = [&](const char* data, size_t size) {
        if (state.bytesReceived + size > state.fileSize) {
            body.errorId = error_id::badRequest;
            body.message = "more bytes than br_file_size";
            return false;
        }
        if (!writer.write(data, size)) {
            writeFailed = true;
            return false;
        }
        state.bytesReceived += size;
        return true;
    };
    bool connected = readMultipart(ex, body, beforeFile, onFile);
    if (!writer.flush()) {
        // What is on disk is unknown past the offset this request started from.
        writeFailed = true;
        state.bytesReceived = *offset;
    }
    // Whatever arrived is kept, so that the client can resume from here.
    store->saveResume(state);
    part.reset();
    if (!connected) return;
    if (writeFailed) return sendError(ex, error_id::smbFileSystemError);
    if (body.errorId != 0)
        return sendError(
            ex, body.errorId, std::nullopt,
            {{"message", body.message}, {"bytes_received", std::to_string(state.bytesReceived)}});
    bool bodyWhole = body.ending == MultipartReader::Ending::closed ||
                     body.ending == MultipartReader::Ending::afterDelimiter;
    if (!bodyWhole || !body.sawFile)
        return sendError(ex, error_id::badRequest, std::nullopt,
                         {{"message", "the fragment is not complete"},
                          {"bytes_received", std::to_string(state.bytesReceived)}});
    if (!finish)
        return sendJson(ex, 200,
                        {{"is_locked", "false"}, {"bytes_received", std::to_string(state.bytesReceived)}});
    if (state.bytesReceived != state.fileSize)
        return sendError(ex, error_id::badRequest, std::nullopt,
                         {{"message", "br_finish before every byte arrived"},
                          {"bytes_received", std::to_string(state.bytesReceived)}});
    TempFile whole(store->resumeFile(id), tw::platform::UniqueFd());
    Outcome o =
        store->commitUpload(path, whole, revision, state.fileSize, ctime, mtime, ex.user, currentQuota());
    store->dropResume(id);
    sendOutcome(ex, o);
}

}  // namespace tw::devserver
