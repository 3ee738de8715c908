#include "programmain.h"
#include "serveurengine.h"

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

} // namespace

int main(int argc, char** argv) {
    raiseOpenFileLimit();
#ifdef ZELK_GUI
    auto makeWindow = [](zelk::ServeurEngine& engine, const zelk::ServerConfig&) {
        return std::make_unique<zelk::ServeurWindow>(engine);
    };
#else
    const auto makeWindow = nullptr;
#endif
    return zelk::runProgram<zelk::ServerConfig, zelk::ServeurEngine>(
        argc, argv, zelk::Program::Server, makeWindow);
}
