#include "numeric.h"
#include "programmain.h"
#include "serveurengine.h"
#include "serveurstate.h"

#include <sys/resource.h>

#ifdef ZELK_GUI
#include "serveurwindow.h"
#endif

namespace {

// Every TCP connection costs a descriptor: take all that the system grants this process rather
// than the usual soft limit of 1024, so that a crowd of peers does not run the server dry.
void raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::vector<zelk::FileProgress> underWay(const zelk::ServeurEngine& engine,
                                         const zelk::ServerConfig&) {
    std::vector<zelk::FileProgress> files;
    const zelk::TransferTable& table = engine.table();
    for (int i = 0; i < table.count(); ++i) {
        const zelk::TransferRow& row = table.at(i);
        const std::size_t kept = row.origin.find_last_not_of(' ');
        const std::string origin = kept == std::string::npos ? "" : row.origin.substr(0, kept + 1);
        files.push_back({"origin \"" + origin + "\" file \"" + row.file + "\"", row.position - 1,
                         zelk::wholeValue(row.total)});
    }
    return files;
}

std::string startedText(const zelk::ServeurEngine& engine) {
    return "receiving on UDP port " + std::to_string(engine.udpPort()) +
           (engine.tcpPort() == 0 ? std::string(", TCP intake off")
                                  : ", TCP port " + std::to_string(engine.tcpPort()));
}

} // namespace

int main(int argc, char** argv) {
    raiseOpenFileLimit();
#ifdef ZELK_GUI
    auto makeWindow = [](zelk::ServeurEngine& engine, const zelk::ServerConfig&) {
        return std::make_unique<zelk::ServeurWindow>(engine);
    };
    auto makeWatchWindow = [](zelk::WatchLink& link, const zelk::ServerConfig&) {
        return std::make_unique<zelk::ServeurWindow>(link);
    };
#else
    const auto makeWindow = nullptr;
    const auto makeWatchWindow = nullptr;
#endif
    const auto stateOf = [](const zelk::ServeurEngine& engine, const zelk::ServerConfig&) {
        return zelk::serverState(engine);
    };
    return zelk::runProgram<zelk::ServerConfig, zelk::ServeurEngine>(
        argc, argv, zelk::Program::Server, makeWindow, underWay, startedText, stateOf,
        makeWatchWindow);
}
