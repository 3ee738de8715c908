#include "clientengine.h"
#include "clientstate.h"
#include "fsops.h"
#include "programmain.h"

#include <sys/stat.h>

#ifdef ZELK_GUI
#include "clientwindow.h"
#endif

namespace {

// The first listed file is the one being sent; the engine tells its share in whole percents.
std::vector<zelk::FileProgress> underWay(const zelk::ClientEngine& engine,
                                         const zelk::ClientConfig& config) {
    const std::vector<std::string> names = engine.fileNames();
    struct stat st {};
    if (names.empty() ||
        ::stat(zelk::joinPath(config.cfgRepertoire, names.front()).c_str(), &st) != 0) {
        return {};
    }
    const std::int64_t size = st.st_size;
    return {{"\"" + names.front() + "\"", size * engine.progress() / 100, size}};
}

std::string startedText(const zelk::ClientEngine& engine) {
    return "sending to " +
           (engine.destination().isNull() ? std::string("an unresolved server")
                                          : engine.destination().toString().toStdString()) +
           " port " + std::to_string(engine.destinationPort()) + " from local UDP port " +
           std::to_string(engine.boundPort());
}

} // namespace

int main(int argc, char** argv) {
#ifdef ZELK_GUI
    auto makeWindow = [](zelk::ClientEngine& engine, const zelk::ClientConfig& config) {
        return std::make_unique<zelk::ClientWindow>(engine, config);
    };
    auto makeWatchWindow = [](zelk::WatchLink& link, const zelk::ClientConfig& config) {
        return std::make_unique<zelk::ClientWindow>(link, config);
    };
#else
    const auto makeWindow = nullptr;
    const auto makeWatchWindow = nullptr;
#endif
    const auto stateOf = [](const zelk::ClientEngine& engine, const zelk::ClientConfig&) {
        return zelk::clientState(zelk::clientView(engine));
    };
    return zelk::runProgram<zelk::ClientConfig, zelk::ClientEngine>(
        argc, argv, zelk::Program::Client, makeWindow, underWay, startedText, stateOf,
        makeWatchWindow);
}
