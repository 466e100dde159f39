// tidewell-uninstall: removes what Tidewell put on this computer. The preferences' Uninstall pane runs
// it (the application has shut its synchronisation down first); it can be run by hand as well.
//
//   tidewell-uninstall [--application] [--data:Recover | --data:Force]
//
// Its report goes to standard output in the form Outcome.h describes, what was left included, since
// the pane shows the whole of it to the user. Exit status: 0 when everything asked for was done, 1 when
// something was left (each thing is named on a "Not done:" line), 2 for a wrong command line.
#include <iostream>

#include "Pinewick/uninstall/Outcome.h"
#include "Pinewick/uninstall/Uninstaller.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    tw::uninstall::Request request;
    std::string why;
    if (!tw::uninstall::parseArguments(args, &request, &why)) {
        std::cerr << "tidewell-uninstall: " << why << "\n"
                  << "usage: tidewell-uninstall [--application] [--data:Recover | --data:Force]\n";
        return 2;
    }
    auto report = tw::uninstall::run(request);
    for (const auto& line : report.done) std::cout << line << "\n";
    if (!report.recoveredTo.empty())
        std::cout << tw::uninstall::recoveredLine(report.filesRecovered, report.recoveredTo) << "\n";
    for (const auto& line : report.problems) std::cout << tw::uninstall::problemLine(line) << "\n";
    std::cout.flush();
    return report.problems.empty() ? 0 : 1;
}
