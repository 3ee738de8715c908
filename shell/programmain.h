#pragma once

// The start-up both programs share: command line, application object, configuration, engine and,
// unless headless, the window; then the run under a service manager (signals, readiness, status,
// progress) and the stop. Included by each program's main.cpp only, which is built with the
// window toolkit when the build has windows.

#include "cli.h"
#include "config.h"
#include "configcheck.h"
#include "filerecord.h"
#include "fsops.h"
#include "instancelock.h"
#include "postreceive.h"
#include "progress.h"
#include "secure.h"
#include "service.h"
#include "status.h"
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
    sayLine(program, Severity::Error, QStringLiteral("error: ") + cause);
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

// What the engines run with: a short client configuration takes the sample's values where it
// would never announce again or send pieces of one byte (the check has warned about it).
// Folders are made absolute, so that every message and record names them as they are (a
// service's working folder is not the one the configuration's author had in mind).
template <typename Config> Config withAbsoluteFolders(Config config) {
    config.cfgRepertoire = absolutePath(config.cfgRepertoire);
    config.cfgJournal = absolutePath(config.cfgJournal);
    return config;
}
inline ServerConfig withDefaults(const ServerConfig& config) {
    return withAbsoluteFolders(config);
}
inline ClientConfig withDefaults(const ClientConfig& config) {
    return withAbsoluteFolders(withClientDefaults(config));
}

// The first line of every run, trace or not: what runs, on which ports, with which folders.
template <typename Config>
std::string startLine(Program program, const Config& config, const std::string& started) {
    std::string line = caption(program).toStdString() + " (zelkfiles " ZELK_PACKAGE_VERSION "), " +
                       started + ", " +
                       (program == Program::Server ? "receive folder " : "outbox ") +
                       absolutePath(config.cfgRepertoire);
    if (!config.cfgJournal.empty()) {
        line += ", transfer journal " + absolutePath(config.cfgJournal);
    }
    return line;
}

// What a reload applies beyond the trace and the journal: the server's command after each file.
inline void applyReloaded(const ServerConfig& config) {
    if (PostReceive* after = PostReceive::current()) {
        after->setProgram(QString::fromLocal8Bit(config.cfgApresReception.c_str())
                              .trimmed()
                              .toLocal8Bit()
                              .toStdString());
    }
}
inline void applyReloaded(const ClientConfig&) {}

// A second program of the same configuration would bind the same ports or send the same outbox
// again: it refuses, naming the first. Without a place for the lock, the program runs unguarded.
inline bool takeInstanceLock(Program program, const std::string& configPath, InstanceLock& lock,
                             QString& busy) {
    long holder = 0;
    std::string why;
    switch (lock.take(pathBytes(instanceLockPath(program, configPath)), holder, why)) {
    case InstanceLock::Taken::Yes:
        return true;
    case InstanceLock::Taken::Busy:
        busy = QStringLiteral("already running as pid %1 with %2; use --watch or --status")
                   .arg(holder)
                   .arg(QString::fromLocal8Bit(configPath.c_str()));
        return false;
    case InstanceLock::Taken::Unavailable:
        break;
    }
    sayLine(program, Severity::Warning,
            QStringLiteral("warning: a second copy cannot be refused: ") +
                QString::fromLocal8Bit(why.c_str()));
    return true;
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
        sayLine(program, Severity::Error,
                QStringLiteral("error: ") + QString::fromLocal8Bit(error.c_str()));
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

// Settings a reload applies at once; any other change waits for a restart (a port, a folder, a
// key file's path: the engine holds sockets and folders opened with them).
inline bool reloadable(std::string_view key) {
    return key == "Collecte_Trace=" || key == "journal_Transf=" || key == "apresReception=";
}

inline void sayReloadWarning(Program program, const std::string& text) {
    sayLine(program, Severity::Warning,
            QStringLiteral("warning: ") + QString::fromLocal8Bit(text.c_str()));
}

// The key file read again, as a start would. Loading forgets the keys held before it reads the
// file, so the file is read once first: a damaged file leaves the keys in use, rather than none.
template <typename Engine>
std::string reloadKeys(Program program, const std::string& keyFile, Engine& engine) {
    if (keyFile.empty()) {
        return {};
    }
    std::vector<ext::KeyLine> lines;
    std::string why;
    if (!ext::loadKeyFile(keyFile, program == Program::Server, lines, why)) {
        sayReloadWarning(program, "keys not reloaded: " + why + "; the keys loaded before stay");
        return {};
    }
    if (QString error; !engine.reloadKeys(error)) {
        sayLine(program, Severity::Error, QStringLiteral("error: keys not reloaded: ") + error);
        return {};
    }
    return ", keys read again from " + keyFile;
}

// Each key whose value changed since the start and that only a restart applies.
inline void sayRestartNeeded(Program program, const std::string& path, const std::string& running,
                             const std::string& content) {
    const auto& keys = program == Program::Server ? serverKeys() : clientKeys();
    auto before = keyValues(running, keys);
    auto after = keyValues(content, keys);
    for (const std::string_view key : keys) {
        const std::string name(key);
        if (!reloadable(key) && before[name] != after[name]) {
            sayReloadWarning(program,
                             path + ": " + name + " changed: it takes effect at the next restart");
        }
    }
}

// SIGHUP: the file read again; what can change without binding again is applied, the rest is
// named with a warning. A file that cannot be read or run with changes nothing.
template <typename Config, typename Engine>
void reloadConfig(Program program, const std::string& path, const std::string& running,
                  Engine& engine, Trace& progressTrace) {
    std::string content;
    std::string why;
    Config config;
    if (!readConfigFile(path, content, why)) {
        sayReloadWarning(program, "configuration not reloaded: " + why);
        return;
    }
    Lire_Config_Texte(content, config);
    const ConfigFindings found = checkConfig(content, config, false);
    sayWarnings(program, path, found);
    if (!found.errors.empty()) {
        sayReloadWarning(program, path + ": configuration not reloaded: " + found.errors.front());
        return;
    }
    sayRestartNeeded(program, path, running, content);
    const bool trace = traceWanted(config.cfgTrace);
    engine.setTraceEnabled(trace);
    progressTrace.setEnabled(trace);
    setTransferJournal(absolutePath(config.cfgJournal));
    applyReloaded(config);
    // The engine reads the key file it was started with.
    const auto keyKey = program == Program::Server ? "fichier_Cles_S=" : "fichier_Cles_C=";
    const std::string keyFile = keyValues(running, {keyKey})[keyKey];
    Trace().write("reloaded", path + ": trace " + (trace ? "on" : "off") + ", transfer journal " +
                                  (config.cfgJournal.empty() ? "none" : config.cfgJournal) +
                                  reloadKeys(program, keyFile, engine));
}

// The engine (and the window) from start to stop; every file the engine held is closed by the
// time this returns. `stoppedBy` names the signal that stopped it, if one did.
template <typename Config, typename Engine, typename MakeWindow, typename ProgressOf,
          typename StartedText, typename StateOf>
int runEngine(QCoreApplication& app, Program program, const Config& config, bool windowed,
              MakeWindow makeWindow, ProgressOf progressOf, StartedText startedText,
              StateOf stateOf, const std::string& configPath, const std::string& configText,
              std::string& stoppedBy) {
    Engine engine;
    QString startError;
    if (!engine.start(config, startError)) {
        // Before the signals are taken over: SIGTERM ends a program whose message box waits.
        return failStart(program, startError, windowed);
    }
    ServiceLink service;
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
    setTransferJournal(config.cfgJournal);
    PostReceive after;
    applyReloaded(config);
    Trace().write("started", startLine(program, config, startedText(engine)));
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
    QObject::connect(&service, &ServiceLink::reloadRequested, [&] {
        service.reloading();
        reloadConfig<Config>(program, configPath, configText, engine, progressTrace);
        service.reloaded();
    });
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
    const bool windowed = !commandLine->status && wantsWindow(*commandLine, program);
    if (commandLine->watch && !windowed) {
        sayLine(program, Severity::Error,
                QStringLiteral("error: --watch needs a window (a display, and no --headless); "
                               "--status prints the same state as text"));
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
    if (commandLine->status) {
        return printStatus(program, loaded.path, commandLine->json);
    }
    if (commandLine->watch) {
        return runWatcher(*app, program, config, loaded.path, makeWatchWindow);
    }
    sayWarnings(program, loaded.path, found);
    if (!found.refusedAtStart.empty()) {
        return failStart(
            program,
            QString::fromLocal8Bit((loaded.path + ": " + found.refusedAtStart.front()).c_str()),
            windowed);
    }
    config = withDefaults(config);
    InstanceLock lock;
    if (QString busy; !takeInstanceLock(program, loaded.path, lock, busy)) {
        if (windowed) {
            // The menu's entry while the service runs: its window, rather than a refusal.
            sayLine(program, Severity::Notice, busy + QStringLiteral(": watching it"));
            return runWatcher(*app, program, config, loaded.path, makeWatchWindow);
        }
        return failStart(program, busy, windowed);
    }
    std::string stoppedBy;
    exitCode =
        runEngine<Config, Engine>(*app, program, config, windowed, makeWindow, progressOf,
                                  startedText, stateOf, loaded.path, loaded.content, stoppedBy);
    if (exitCode == 0) {
        Trace().write("stopped", stoppedBy.empty() ? std::string() : "by " + stoppedBy);
    }
    return exitCode;
}

} // namespace zelk
