#include "Pinewick/uninstall/Uninstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>

#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "platform/autostart.h"
#include "platform/defaults.h"
#include "platform/fd.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "platform/overmark.h"
#include "platform/places.h"
#include "platform/process.h"

namespace tw::uninstall {
namespace {

namespace fs = std::filesystem;

// A placeholder's bytes are on the server only; everything else may hold what the user wrote.
bool holdsContent(const fs::path& file, const struct stat& st) {
    if (st.st_size == 0) return false;
    // No record, or one that cannot be read: kept, as what cannot be told apart from the user's work.
    auto text = platform::getXattr(file, overmark::kItemAttributeName, overmark::kItemAttributeMaxSize);
    if (!text || text->empty()) return true;
    return !text->starts_with(overmark::kStatusPlaceholderLine) &&
           !text->starts_with(overmark::kStatusErrorPlaceholderLine);
}

// `wanted`, or "name (2).ext", "name (3).ext", ... when it is taken.
fs::path freeName(const fs::path& wanted) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(wanted, ec))) return wanted;
    std::string stem = wanted.stem().string(), ext = wanted.extension().string();
    for (int n = 2;; ++n) {
        fs::path candidate = wanted.parent_path() / (stem + " (" + std::to_string(n) + ")" + ext);
        if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
    }
}

// Copies `from` to `to` through a temporary file made durable before it takes its name, so the copy is
// whole or absent; only then may the original go.
bool copyDurably(const fs::path& from, const fs::path& to, std::string* why) {
    platform::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        *why = "cannot read " + from.string();
        return false;
    }
    fs::path temp = to.parent_path() / (".tidewell-recovering-" + std::to_string(::getpid()));
    platform::UniqueFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out) {
        *why = "cannot write in " + to.parent_path().string();
        return false;
    }
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = "read error in " + from.string();
            ::unlink(temp.c_str());
            return false;
        }
        if (n == 0) break;
        if (!platform::writeAll(out.get(), std::string_view(buffer, static_cast<size_t>(n)))) {
            *why = "write error in " + to.parent_path().string();
            ::unlink(temp.c_str());
            return false;
        }
    }
    struct stat st {};
    if (::fstat(in.get(), &st) == 0) ::fchmod(out.get(), st.st_mode & 07777);
    if (::fsync(out.get()) != 0 || !out.close() || ::rename(temp.c_str(), to.c_str()) != 0) {
        *why = "cannot finish the copy of " + from.string();
        ::unlink(temp.c_str());
        return false;
    }
    platform::UniqueFd dir(::open(to.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.get());
    return true;
}

// Moves every file holding content from `root` into `into`, keeping the relative paths. False when one
// could not be moved (it stays where it is).
bool recoverTree(const fs::path& root, const fs::path& into, const fs::path& keep, Report& report) {
    bool all = true;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::none, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        // What was recovered before (the default recovery folder is inside an in-location folder)
        // stays where it is.
        if (it->path() == keep) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (!holdsContent(it->path(), st)) continue;
        fs::path target = freeName(into / fs::relative(it->path(), root));
        std::error_code mk;
        fs::create_directories(target.parent_path(), mk);
        if (::rename(it->path().c_str(), target.c_str()) == 0) {
            ++report.filesRecovered;
            continue;
        }
        std::string why;
        if (errno == EXDEV && copyDurably(it->path(), target, &why)) {
            ::unlink(it->path().c_str());
            ++report.filesRecovered;
            continue;
        }
        if (why.empty()) why = "cannot move " + it->path().string() + " to " + target.string();
        report.problems.push_back(why);
        all = false;
    }
    if (ec) {
        report.problems.push_back("cannot read the folder " + root.string() + ": " + ec.message());
        all = false;
    }
    return all;
}

bool within(const fs::path& path, const fs::path& folder) {
    auto p = path.lexically_normal(), f = folder.lexically_normal();
    auto [fi, pi] = std::mismatch(f.begin(), f.end(), p.begin(), p.end());
    return fi == f.end() || (std::next(fi) == f.end() && fi->empty());
}

// Removes `root` except `keep` (and the folders leading to it) when `keep` lies inside it.
void removeExcept(const fs::path& root, const fs::path& keep, std::error_code& ec) {
    if (!within(keep, root)) {
        fs::remove_all(root, ec);
        return;
    }
    if (root.lexically_normal() == keep.lexically_normal()) return;
    for (auto it = fs::directory_iterator(root, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::error_code one;
        removeExcept(it->path(), keep, one);
        if (one && !ec) ec = one;
    }
}

std::string timestamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H%M%S", &tm);
    return text;
}

void removeApplication(Report& report) {
    if (platform::setLoginItemEnabled(ServerConfigurationDetails::kLoginItemIdentifier,
                                      platform::toolPath(ServerConfigurationDetails::kLoginHelperName),
                                      false))
        report.done.push_back("Tidewell no longer starts at login.");
    else
        report.problems.push_back("The login item " +
                                  platform::loginItemPath(ServerConfigurationDetails::kLoginItemIdentifier) +
                                  " could not be removed.");
    std::string folder = platform::executableFolder();
    if (folder.rfind("/usr/", 0) == 0 || folder.rfind("/opt/", 0) == 0)
        report.done.push_back("To remove the program itself, remove its package: sudo apt remove tidewell");
    else
        report.done.push_back("To remove the program itself, delete " + folder + ".");
}

void removeData(dataMode mode, Report& report) {
    // The exclusion rules the configuration also holds play no part in an uninstall.
    ExclusionManager exclusions;
    ServerConfigurationDetails config(exclusions);
    config.readConfig();
    fs::path support = config.supportFolder;
    fs::path keep = fs::path(platform::expandTilde(config.currentRecoveryFolder())).lexically_normal();
    fs::path recovery = keep / ("Tidewell uninstall " + timestamp());

    // (name, content folder, what to remove once it is empty of what must be kept)
    struct Root {
        std::string name;
        fs::path content;
        fs::path remove;
    };
    std::vector<Root> roots;
    std::error_code ec;
    for (auto it = fs::directory_iterator(support, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        if (it->path().extension() == ".sparsebundle")
            roots.push_back({it->path().stem().string(), it->path() / "content", it->path()});
    for (const auto& [local, server] : config.inLocationMapping()) {
        fs::path folder = platform::expandTilde(local);
        // Tidewell leaves in-location folders attached when it quits, guarded by the watcher; they are
        // detached here so their files can be recovered. A folder still in use stays mounted and is
        // left alone below.
        if (platform::isMountPoint(folder))
            platform::runProcess({platform::toolPath("tidewell-hdiutil"), "eject", folder.string()},
                                 std::chrono::minutes(2), true);
        if (fs::is_directory(folder, ec)) roots.push_back({folder.filename().string(), folder, folder});
    }

    bool keptSome = false;
    for (const auto& root : roots) {
        if (platform::isMountPoint(root.content) || platform::isMountPoint(root.remove)) {
            report.problems.push_back(root.content.string() + " is still mounted; it was left alone.");
            keptSome = true;
            continue;
        }
        if (mode == dataMode::recover && fs::exists(root.content, ec) &&
            !recoverTree(root.content, recovery / root.name, keep, report)) {
            report.problems.push_back("The volume " + root.name +
                                      " was kept, because not all of its files could be recovered.");
            keptSome = true;
            continue;
        }
        removeExcept(root.remove, keep, ec);
        if (ec) {
            report.problems.push_back("Could not remove " + root.remove.string() + ": " + ec.message());
            keptSome = true;
        } else {
            report.done.push_back("Removed the local copy of " + root.name + ".");
        }
    }
    // Mount points the volumes left behind at the volumes root (empty once unmounted).
    for (const auto& root : roots) {
        fs::path mountPoint = fs::path(platform::volumesRoot()) / root.name;
        if (!platform::isMountPoint(mountPoint)) fs::remove(mountPoint, ec);  // only an empty folder goes
    }

    if (!keptSome) {
        removeExcept(support, keep, ec);
        if (ec) report.problems.push_back("Could not remove " + support.string() + ": " + ec.message());
    } else {
        for (const char* name : {"MetaDataDataBase.db", "ConsistencyCheckDataBase.db", "Timeline.txt"})
            fs::remove(support / name, ec);
    }
    fs::remove(platform::Defaults::finderListSuite().userFile(), ec);

    auto& keychain = platform::keychain::defaultKeychain();
    std::vector<platform::keychain::Item> items;
    if (keychain.findItems("Tidewell", "Tidewell Server Password", items) ==
        platform::keychain::Status::failed) {
        report.problems.push_back("The stored password could not be read to remove it.");
    } else {
        for (const auto& item : items)
            if (keychain.deleteItem(item.service, item.account) == platform::keychain::Status::failed)
                report.problems.push_back("The stored password for " + item.account + " at " + item.service +
                                          " could not be removed.");
        if (!items.empty()) report.done.push_back("Removed the stored server password.");
    }
    if (report.filesRecovered > 0) report.recoveredTo = recovery.string();
}

}  // namespace

bool parseArguments(const std::vector<std::string>& args, Request* request, std::string* why) {
    *request = {};
    bool dataGiven = false;
    for (const auto& a : args) {
        if (a == "--application" && !request->application) {
            request->application = true;
        } else if ((a == "--data:Recover" || a == "--data:Force") && !dataGiven) {
            dataGiven = true;
            request->data = a == "--data:Force" ? dataMode::force : dataMode::recover;
        } else {
            *why = "unexpected argument " + a;
            return false;
        }
    }
    if (!request->application && !dataGiven) {
        *why = "nothing to do";
        return false;
    }
    return true;
}

Report run(const Request& request) {
    Report report;
    ExclusionManager exclusions;
    ServerConfigurationDetails config(exclusions);
    config.readConfig();
    if (request.data != dataMode::keep) {
        if (config.allowUninstallData)
            removeData(request.data, report);
        else
            report.problems.push_back("Your administrator does not allow removing the local data.");
    }
    if (request.application) {
        if (config.allowUninstallApplication)
            removeApplication(report);
        else
            report.problems.push_back("Your administrator does not allow removing the application.");
    }
    return report;
}

}  // namespace tw::uninstall
