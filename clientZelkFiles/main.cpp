#include "clientengine.h"
#include "programmain.h"

#ifdef ZELK_GUI
#include "clientwindow.h"
#endif

int main(int argc, char** argv) {
#ifdef ZELK_GUI
    auto makeWindow = [](zelk::ClientEngine& engine, const zelk::ClientConfig& config) {
        return std::make_unique<zelk::ClientWindow>(engine, config);
    };
#else
    const auto makeWindow = nullptr;
#endif
    return zelk::runProgram<zelk::ClientConfig, zelk::ClientEngine>(
        argc, argv, zelk::Program::Client, makeWindow);
}
