// tidewell-hdiutil: the disk-image tool. An image is a folder NAME.sparsebundle holding the volume's
// content (content/) and its description (Info.json: volume name and UUID). Mounting is done by
// gatewarden, asked through its control socket.
//
//   tidewell-hdiutil create -type SPARSEBUNDLE -size 1t -fs HFS+ -volname NAME PATH
//   tidewell-hdiutil attach PATH            mounts at the volumes root under the volume name
//   tidewell-hdiutil eject [-force] MOUNTPOINT  a volume in use is refused ("Resource busy"); with
//                                           -force it leaves the tree at once, and the files still
//                                           open on it keep working until they are closed
//   tidewell-hdiutil attach-in-place FOLDER mounts a folder over itself
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/places.h"
#include "platform/volpath.h"

namespace fs = std::filesystem;

namespace {
constexpr char kExtension[] = ".sparsebundle";

int failed(const std::string& verb, const std::string& why) {
    fprintf(stderr, "hdiutil: %s failed - %s\n", verb.c_str(), why.c_str());
    return 1;
}

std::string newUuid() {
    std::ifstream in("/proc/sys/kernel/random/uuid");
    std::string u;
    std::getline(in, u);
    for (auto& c : u) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return u;
}

int create(const std::vector<std::string>& args) {
    std::string name, path;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-volname" && i + 1 < args.size())
            name = args[++i];
        else if ((a == "-type" || a == "-size" || a == "-fs" || a == "-layout") && i + 1 < args.size())
            ++i;
        else if (!a.empty() && a[0] == '-')
            continue;
        else
            path = a;
    }
    if (path.empty()) return failed("create", "no image path given");
    if (path.size() < strlen(kExtension) ||
        path.compare(path.size() - strlen(kExtension), std::string::npos, kExtension) != 0)
        path += kExtension;
    if (name.empty()) name = fs::path(path).stem().string();
    std::error_code ec;
    if (fs::exists(path, ec)) return failed("create", "File exists");
    fs::create_directories(fs::path(path) / "content", ec);
    if (ec) return failed("create", ec.message());
    nlohmann::json info = {{"volumeName", name}, {"volumeUUID", newUuid()}};
    std::string tmp = path + "/Info.json.tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << info.dump(2) << "\n";
        if (!out.flush()) return failed("create", "cannot write the image description");
    }
    fs::rename(tmp, fs::path(path) / "Info.json", ec);
    if (ec) return failed("create", ec.message());
    printf("created: %s\n", path.c_str());
    return 0;
}

int reply(const std::string& verb, const std::optional<tw::platform::ControlReply>& r) {
    if (!r) return failed(verb, "gatewarden is not running");
    if (!r->ok) return failed(verb, r->fields.empty() ? "unknown error" : r->fields[0]);
    return 0;
}

int attach(const std::string& image) {
    std::ifstream in(fs::path(image) / "Info.json");
    if (!in) return failed("attach", "No such file or directory");
    nlohmann::json info = nlohmann::json::parse(in, nullptr, false);
    if (info.is_discarded() || !info.is_object() || !info.contains("volumeName") ||
        !info["volumeName"].is_string())
        return failed("attach", "image not recognized");
    std::string name = info["volumeName"].get<std::string>();
    std::string uuid = info.value("volumeUUID", std::string());
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return failed("attach", "invalid volume name");
    std::string content = fs::absolute(fs::path(image) / "content").lexically_normal().string();
    std::string why;
    if (!tw::platform::prepareVolumesRoot(&why)) return failed("attach", why);
    std::string mountPoint = tw::platform::volumesRoot() + "/" + name;
    auto r = tw::platform::controlRequest({"attach", content, mountPoint, name, uuid});
    if (int rc = reply("attach", r)) return rc;
    printf("%s\n", r->fields.empty() ? mountPoint.c_str() : r->fields[0].c_str());
    return 0;
}

int attachInPlace(const std::string& folder) {
    std::string abs = fs::absolute(folder).lexically_normal().string();
    auto r = tw::platform::controlRequest({"attach-in-place", abs});
    if (int rc = reply("attach", r)) return rc;
    printf("%s\n", r->fields.empty() ? abs.c_str() : r->fields[0].c_str());
    return 0;
}

int eject(const std::string& mountPoint, bool force) {
    std::string abs = fs::absolute(mountPoint).lexically_normal().string();
    std::vector<std::string> request{"eject", abs};
    if (force) request.push_back("force");
    int rc = reply("eject", tw::platform::controlRequest(request));
    if (rc == 0) printf("\"%s\" ejected.\n", abs.c_str());
    return rc;
}
}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        fprintf(stderr, "usage: tidewell-hdiutil create|attach|eject|attach-in-place ...\n");
        return 2;
    }
    std::string verb = args[0];
    args.erase(args.begin());
    // Options such as -nobrowse or -quiet do not change what happens here.
    std::vector<std::string> plain;
    for (const auto& a : args)
        if (a.empty() || a[0] != '-') plain.push_back(a);
    if (verb == "create") return create(args);
    if (verb == "attach" && !plain.empty()) return attach(plain.back());
    if (verb == "attach-in-place" && !plain.empty()) return attachInPlace(plain.back());
    if ((verb == "eject" || verb == "detach") && !plain.empty())
        return eject(plain.back(), std::find(args.begin(), args.end(), "-force") != args.end());
    fprintf(stderr, "hdiutil: unknown verb or missing argument: %s\n", verb.c_str());
    return 2;
}
