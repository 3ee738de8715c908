#pragma once

// The start-up both programs share: command line, application object, configuration, engine and,
// unless headless, the window; then the run under a service manager (signals, readiness, status,
// progress) and the stop. Included by each program's main.cpp only, which is built with the
// window toolkit when the build has windows.

#include "cli.h"
#include "config.h"
#include "configcheck.h"
#include "progress.h"
#include "secure.h"
#include "service.h"
#include "trace.h"
#include "watch.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <memory>

#ifdef ZELK_GUI
#include <QApplication>
#include <QMessageBox>
#endif

namespace zelk {

// Headless lines of progress and the service manager's status, this often.
inline constexpr int kProgressEveryMs = 10000;

inline void sayLine(Program program, Severity severity, const QString& text) {
    writeLine(stderr, severity,
              (QString::fromLatin1(programName(program)) + QStringLiteral(": ") + text)
                  .toLocal8Bit()
                  .toStdString());
}

// One line on standard error names the cause; a person who started the window from a menu has no
// terminal, so a window build shows it to them as well.
inline int failStart(Program program, const QString& cause, bool windowed) {
    sayLine(program, Severity::Error, cause);
#ifdef ZELK_GUI
    if (windowed) {
        QMessageBox::critical(nullptr, caption(program), cause);
    }
#else
    (void)windowed;
#endif
    return 1;
}

// A window needs a display; a program started without one (a service, an ssh session) runs
// headless and says so, rather than letting the toolkit abort.
inline bool displayFound() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
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

// A key for a key file, from libsodium's random numbers.
inline int printNewKey(Program program) {
    if (!ext::cryptoReady()) {
        sayLine(program, Severity::Error, QStringLiteral("libsodium cannot be initialised"));
        return 1;
    }
    const ext::Key key = ext::newKey();
    std::printf("%s\n", ext::hexOf(key).c_str());
    return 0;
}

struct LoadedConfig {
    std::string path;
    std::string content;
};

// Reads the configuration file; on failure `error` says why, and where else it was looked for.
inline bool loadConfig(const CommandLine& commandLine, Program program, LoadedConfig& loaded,
                       QString& error) {
    QString tried;
    loaded.path = pathBytes(configFilePath(commandLine, program, &tried));
    std::string readError;
    if (readConfigFile(loaded.path, loaded.content, readError)) {
        return true;
    }
    error = QString::fromLocal8Bit(readError.c_str());
    if (!tried.isEmpty()) {
        error += QStringLiteral(" (looked for ") + tried + QLatin1Char(')');
    }
    return false;
}

inline void sayWarnings(Program program, const std::string& path, const ConfigFindings& found) {
    for (const std::string& warning : found.warnings) {
        sayLine(program, Severity::Warning,
                QStringLiteral("warning: ") +
                    QString::fromLocal8Bit((path + ": " + warning).c_str()));
    }
}

// --check-config opens the key file as the program would at start-up, and adds what is wrong
// with it to the errors.
inline void checkKeyFile(const std::string& configured, bool withOrigins, const char* setting,
                         ConfigFindings& found) {
    std::vector<ext::KeyLine> keys;
    std::string why;
    if (!configured.empty() && !ext::loadKeyFile(configured, withOrigins, keys, why)) {
        found.errors.push_back(why + " (\"" + setting + "\")");
    }
}
inline void checkKeyFile(const ServerConfig& config, ConfigFindings& found) {
    checkKeyFile(config.cfgFichierCles, true, "fichier_Cles_S=", found);
}
inline void checkKeyFile(const ClientConfig& config, ConfigFindings& found) {
    checkKeyFile(config.cfgFichierCle, false, "fichier_Cles_C=", found);
}

// --check-config: the settings in effect on standard output, warnings and errors on standard
// error; 0 when the program can run with them.
inline int checkOnly(Program program, const LoadedConfig& loaded, const ConfigFindings& found) {
    std::string out = "configuration file: " + loaded.path + "\n";
    for (const std::string& setting : found.settings) {
        out += setting + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    sayWarnings(program, loaded.path, found);
    for (const std::string& error : found.errors) {
        sayLine(program, Severity::Error, QString::fromLocal8Bit(error.c_str()));
    }
    const QString verdict =
        found.errors.empty()
            ? QStringLiteral("configuration OK (%1 warning(s))").arg(found.warnings.size())
            : QStringLiteral("configuration refused");
    std::fputs((verdict + QLatin1Char('\n')).toLocal8Bit().constData(), stdout);
    return found.errors.empty() ? 0 : 1;
}

// A window unless --headless or --check-config says otherwise, or no display can be had.
inline bool wantsWindow(const CommandLine& commandLine, Program program) {
#ifdef ZELK_GUI
    if (commandLine.headless || commandLine.checkConfig) {
        return false;
    }
    if (!displayFound()) {
        sayLine(program, Severity::Notice,
                QStringLiteral("no display (DISPLAY and WAYLAND_DISPLAY are unset): running "
                               "headless"));
        return false;
    }
    return true;
#else
    (void)commandLine;
    (void)program;
    return false;
#endif
}

// The engine (and the window) from start to stop; every file the engine held is closed by the
// time this returns. `stoppedBy` names the signal that stopped it, if one did.
template <typename Config, typename Engine, typename MakeWindow, typename ProgressOf,
          typename StartedText, typename StateOf>
int runEngine(QCoreApplication& app, Program program, const Config& config, bool windowed,
              MakeWindow makeWindow, ProgressOf progressOf, StartedText startedText,
              StateOf stateOf, const std::string& configPath, std::string& stoppedBy) {
    ServiceLink service;
    Engine engine;
    QString startError;
    if (!engine.start(config, startError)) {
        return failStart(program, startError, windowed);
    }
    // A window started with --watch shows what this program's window would.
    WatchServer watch([&] { return stateOf(engine, config); });
    if (QString watchError; !watch.listen(watchSocketPath(program, configPath), watchError)) {
        sayLine(program, Severity::Warning,
                QStringLiteral("warning: nothing can watch this program: ") + watchError);
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
    Trace progressTrace;
    progressTrace.setEnabled(traceWanted(config.cfgTrace));
    ProgressReport report;
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        service.status(report.look(progressOf(engine, config), progressTrace, !windowed));
    });
    report.look(progressOf(engine, config), progressTrace, false);
    service.ready(startedText(engine));
    progress.start(kProgressEveryMs);
    const int exitCode = app.exec();
    service.stopping();
    stoppedBy = service.stoppedBy();
    return exitCode;
}

// --watch: a window on the state the program of this configuration offers, until it is closed.
template <typename Config, typename MakeWatchWindow>
int runWatcher(QCoreApplication& app, Program program, const Config& config,
               const std::string& configPath, MakeWatchWindow makeWatchWindow) {
#ifdef ZELK_GUI
    WatchLink link(watchSocketPath(program, configPath));
    const auto window = makeWatchWindow(link, config);
    window->show();
    link.start();
    return app.exec();
#else
    (void)app;
    (void)config;
    (void)configPath;
    (void)makeWatchWindow;
    return failStart(program, QStringLiteral("--watch needs a build with windows"), false);
#endif
}

// Runs a program: `makeWindow(engine, config)` gives its window (unused in a build without
// windows, where every run is headless); `progressOf(engine, config)` the files under way and
// `startedText(engine)` how it started, for the service manager; `stateOf(engine, config)` what a
// watching window shows, and `makeWatchWindow(link, config)` that window. Returns the exit status.
template <typename Config, typename Engine, typename MakeWindow, typename ProgressOf,
          typename StartedText, typename StateOf, typename MakeWatchWindow>
int runProgram(int argc, char** argv, Program program, MakeWindow makeWindow, ProgressOf progressOf,
               StartedText startedText, StateOf stateOf, MakeWatchWindow makeWatchWindow) {
    int exitCode = 0;
    const auto commandLine = parseCommandLine(argc, argv, program, exitCode);
    if (!commandLine) {
        return exitCode;
    }
    if (commandLine->newKey) {
        return printNewKey(program);
    }
    const bool windowed = wantsWindow(*commandLine, program);
    if (commandLine->watch && !windowed) {
        sayLine(program, Severity::Error,
                QStringLiteral("--watch needs a window (a display, and no --headless)"));
        return 1;
    }
    const auto app = makeApplication(argc, argv, windowed);
    LoadedConfig loaded;
    QString readError;
    if (!loadConfig(*commandLine, program, loaded, readError)) {
        return failStart(program, readError, windowed);
    }
    Config config;
    Lire_Config_Texte(loaded.content, config);
    ConfigFindings found = checkConfig(loaded.content, config, commandLine->checkConfig);
    if (commandLine->checkConfig) {
        checkKeyFile(config, found);
        return checkOnly(program, loaded, found);
    }
    if (commandLine->watch) {
        return runWatcher(*app, program, config, loaded.path, makeWatchWindow);
    }
    sayWarnings(program, loaded.path, found);
    std::string stoppedBy;
    exitCode = runEngine<Config, Engine>(*app, program, config, windowed, makeWindow, progressOf,
                                         startedText, stateOf, loaded.path, stoppedBy);
    if (exitCode == 0) {
        Trace().write("stopped", stoppedBy.empty() ? std::string() : "by " + stoppedBy);
    }
    return exitCode;
}

} // namespace zelk
