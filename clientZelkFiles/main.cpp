#include "cli.h"
#include "clientengine.h"
#include "config.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>

#ifdef ZELK_GUI
#include "clientwindow.h"
#include <QApplication>
#include <QMessageBox>
#endif

namespace {

// A person who started the window from a menu has no terminal: the cause is shown to them too.
int failStart(const QString& cause, bool headless) {
    std::fprintf(stderr, "Client_ZelkFiles: %s\n", cause.toLocal8Bit().constData());
#ifdef ZELK_GUI
    if (!headless) {
        QMessageBox::critical(nullptr, zelk::caption(zelk::Program::Client), cause);
    }
#else
    (void)headless;
#endif
    return 1;
}

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, bool headless) {
#ifdef ZELK_GUI
    if (!headless) {
        return std::make_unique<QApplication>(argc, argv);
    }
#else
    (void)headless;
#endif
    return std::make_unique<QCoreApplication>(argc, argv);
}

} // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    const auto commandLine = zelk::parseCommandLine(argc, argv, zelk::Program::Client, exitCode);
    if (!commandLine) {
        return exitCode;
    }
#ifdef ZELK_GUI
    const bool headless = commandLine->headless;
#else
    const bool headless = true;
#endif
    const auto app = makeApplication(argc, argv, headless);
    const QString configPath = zelk::configFilePath(*commandLine, zelk::Program::Client);
    zelk::ClientConfig config;
    std::string readError;
    if (!zelk::Lire_Config(zelk::pathBytes(configPath), config, readError)) {
        return failStart(QString::fromLocal8Bit(readError.c_str()), headless);
    }
    zelk::ClientEngine engine;
    QString startError;
    if (!engine.start(config, startError)) {
        return failStart(startError, headless);
    }
#ifdef ZELK_GUI
    std::unique_ptr<zelk::ClientWindow> window;
    if (!headless) {
        window = std::make_unique<zelk::ClientWindow>(engine, config);
        window->show();
    }
#endif
    return app->exec();
}
