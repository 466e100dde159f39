// tidewell-uninstall's work: removing the login item ("--application") and the local data
// ("--data:Recover" keeps every local file that holds content in the recovery folder first;
// "--data:Force" does not). Local data is the volumes' images and the in-location folders, the
// databases and saved timeline in the support folder, the file manager's watch list and the stored
// server password.
//
// Nothing that cannot be kept is removed in recover mode: a volume one of whose files could not be
// moved stays where it is (and so does the support folder holding it), and the run reports it. A
// folder that is still mounted is never touched in either mode.
//
// Thread-safety: one run at a time (it is a program's main work).
#pragma once

#include <string>
#include <vector>

namespace tw::uninstall {

enum class dataMode { keep, recover, force };

struct Request {
    bool application = false;
    dataMode data = dataMode::keep;
};

// The request for the command line's arguments; false (with `*why`) for an unknown or repeated one.
bool parseArguments(const std::vector<std::string>& args, Request* request, std::string* why);

struct Report {
    std::vector<std::string> done;      // what was removed or kept, one line each
    std::vector<std::string> problems;  // what could not be done
    std::string recoveredTo;            // the folder the files went to, when any did
    size_t filesRecovered = 0;
};

Report run(const Request& request);

}  // namespace tw::uninstall
