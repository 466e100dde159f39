// tidewell-uninstall: removes what Tidewell put on this computer. The preferences' Uninstall pane runs
// it (the application has shut its synchronisation down first); it can be run by hand as well.
//
//   tidewell-uninstall [--application] [--data:Recover | --data:Force]
//
// Exit status: 0 when everything asked for was done, 1 when something was left (each thing is named
// on standard error), 2 for a wrong command line.
#include <iostream>

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
        std::cout << report.filesRecovered << " file(s) kept in " << report.recoveredTo << "\n";
    for (const auto& line : report.problems) std::cerr << "tidewell-uninstall: " << line << "\n";
    return report.problems.empty() ? 0 : 1;
}
