#pragma once

// The start-up both programs share: command line, application object, configuration, engine and,
// unless headless, the window. Included by each program's main.cpp only, which is built with the
// window toolkit when the build has windows.

#include "cli.h"
#include "config.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>

#ifdef ZELK_GUI
#include <QApplication>
#include <QMessageBox>
#endif

namespace zelk {

// One line on standard error names the cause; a person who started the window from a menu has no
// terminal, so a window build shows it to them as well.
inline int failStart(Program program, const QString& cause, bool windowed) {
    const QByteArray line = (QString::fromLatin1(programName(program)) + QStringLiteral(": ") +
                             cause + QLatin1Char('\n'))
                                .toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    std::fflush(stderr);
#ifdef ZELK_GUI
    if (windowed) {
        QMessageBox::critical(nullptr, caption(program), cause);
    }
#else
    (void)windowed;
#endif
    return 1;
}

inline std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, bool windowed) {
#ifdef ZELK_GUI
    if (windowed) {
        return std::make_unique<QApplication>(argc, argv);
    }
#else
    (void)windowed;
#endif
    return std::make_unique<QCoreApplication>(argc, argv);
}

// Runs a program: `makeWindow(engine, config)` gives its window (unused in a build without
// windows, where every run is headless). Returns the exit status.
template <typename Config, typename Engine, typename MakeWindow>
int runProgram(int argc, char** argv, Program program, MakeWindow makeWindow) {
    int exitCode = 0;
    const auto commandLine = parseCommandLine(argc, argv, program, exitCode);
    if (!commandLine) {
        return exitCode;
    }
#ifdef ZELK_GUI
    const bool windowed = !commandLine->headless;
#else
    const bool windowed = false;
#endif
    const auto app = makeApplication(argc, argv, windowed);
    Config config;
    std::string readError;
    if (!Lire_Config(pathBytes(configFilePath(*commandLine, program)), config, readError)) {
        return failStart(program, QString::fromLocal8Bit(readError.c_str()), windowed);
    }
    Engine engine;
    QString startError;
    if (!engine.start(config, startError)) {
        return failStart(program, startError, windowed);
    }
#ifdef ZELK_GUI
    decltype(makeWindow(engine, config)) window;
    if (windowed) {
        window = makeWindow(engine, config);
        window->show();
    }
#else
    (void)makeWindow;
#endif
    return app->exec();
}

} // namespace zelk
