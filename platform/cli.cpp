#include "cli.h"

#include "config.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <string_view>

namespace zelk {
namespace {

const char* configName(Program program) {
    return program == Program::Server ? kServerConfigName : kClientConfigName;
}

void print(std::FILE* to, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
    std::fflush(to);
}

// The keys, comma-separated, in lines of at most 80 columns indented by two.
QString keysOf(Program program) {
    QString text;
    int column = 2;
    const auto& keys = program == Program::Server ? serverKeys() : clientKeys();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const QString key =
            QString::fromLatin1(keys[i].data(), static_cast<qsizetype>(keys[i].size())) +
            (i + 1 < keys.size() ? QStringLiteral(",") : QString());
        if (i > 0 && column + 1 + key.size() > 80) {
            text += QStringLiteral("\n  ");
            column = 2;
        } else if (i > 0) {
            text += QLatin1Char(' ');
            ++column;
        }
        text += key;
        column += static_cast<int>(key.size());
    }
    return text;
}

// The folder of the running executable, found before any application object exists.
QString executableFolder() {
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    const QString target = self.canonicalFilePath();
    return target.isEmpty() ? QStringLiteral("the folder of the executable")
                            : QFileInfo(target).absolutePath();
}

QString windowNote() {
#ifdef ZELK_GUI
    return QStringLiteral(
        "  --headless      run without a window and without a display (also chosen,\n"
        "                  with a notice, when no display can be found); stop it with\n"
        "                  SIGTERM (as systemd does) or Ctrl+C\n");
#else
    return QStringLiteral("  --headless      accepted: this build has no window and always runs\n"
                          "                  headless; stop it with SIGTERM or Ctrl+C\n");
#endif
}

QString helpText(Program program) {
    const QString name = QString::fromLatin1(programName(program));
    const QString what = program == Program::Server
                             ? QStringLiteral("Receives files sent over UDP (and TCP) by ZelkFiles "
                                              "clients into a folder per origin.")
                             : QStringLiteral("Sends every non-empty file of its outbox folder to "
                                              "one ZelkFiles server, then deletes it.");
    const QString file = QString::fromLatin1(configName(program));
    return QStringLiteral(
               "Usage: %1 [--config FILE] [--headless] [--check-config] [--watch]\n"
               "  or:  %1 [--config FILE] --status [--json]\n"
               "  or:  %1 --new-key | --version | --help\n"
               "%2\n\n"
               "Options:\n"
               "  --config FILE   read the settings from FILE; without it they are read from\n"
               "                  %3 in the folder of the executable:\n"
               "                  %4/%3\n"
               "                  or, when there is none, from %7/%3\n"
               "%5"
               "  --check-config  read the configuration, print the settings in effect and\n"
               "                  every warning, and exit: 0 when the program can run with\n"
               "                  it, 1 when it cannot\n"
               "  --watch         open a window on the program of the same configuration that\n"
               "                  runs on this machine (a service, say) instead of running one;\n"
               "                  a running program offers its state on a local socket\n"
               "  --status        print what the program of the same configuration running on\n"
               "                  this machine is doing (from the socket --watch reads), and\n"
               "                  exit: 0 when it answers, 3 when it does not run\n"
               "  --json          with --status: the state as one line of JSON, for scripts\n"
               "  --new-key       print a fresh random key (64 hexadecimal digits) for a key\n"
               "                  file, and exit\n"
               "  -V, --version   print the version: the window caption, then the package's\n"
               "                  version on a second line, and exit\n"
               "  -h, --help      print this help and exit\n\n"
               "The configuration is plain text read once at start-up, one setting per line:\n"
               "a key of 15 characters ending in \"=\", then the value as written. Lines that\n"
               "name no key are ignored (a line with an unknown key is warned about). Keys:\n"
               "  %6\n"
               "(\"Collecte_Trace=O\" writes a timestamped line per event on standard error;\n"
               "errors and warnings are written there whatever it says).\n\n"
               "Signals: SIGTERM and SIGINT stop the program cleanly (exit status 0). SIGHUP\n"
               "reloads: the key file and Collecte_Trace=, journal_Transf= and apresReception=\n"
               "take effect at once; a warning names every other changed key, which waits for\n"
               "a restart.\n"
               "Exit status: 1 when start-up fails (the cause is printed on standard error,\n"
               "after \"error:\"), among others when the program of the same configuration\n"
               "already runs; 2 for a command line that cannot be read; 3 for --status when\n"
               "no program of the configuration runs.\n")
        .arg(name, what, file, executableFolder(), windowNote(), keysOf(program),
             QString::fromLatin1(kSystemConfigFolder));
}

} // namespace

const char* programName(Program program) {
    return program == Program::Server ? "Serveur_ZelkFiles" : "Client_ZelkFiles";
}

QString captionFor(Program program, int major, int minor, int revision) {
    const QString prefix = program == Program::Server ? QStringLiteral("Serveur_ZelkFile")
                                                      : QStringLiteral("Client_ZelkFile");
    return QStringLiteral("%1 - version: %2.%3 révision: %4")
        .arg(prefix)
        .arg(major)
        .arg(minor)
        .arg(revision);
}

QString caption(Program program) {
    if (program == Program::Server) {
        return captionFor(program, ZELK_SERVER_VERSION_MAJOR, ZELK_SERVER_VERSION_MINOR,
                          ZELK_SERVER_VERSION_REVISION);
    }
    return captionFor(program, ZELK_CLIENT_VERSION_MAJOR, ZELK_CLIENT_VERSION_MINOR,
                      ZELK_CLIENT_VERSION_REVISION);
}

std::optional<CommandLine> parseCommandLine(int argc, char** argv, Program program, int& exitCode) {
    QStringList args;
    for (int i = 0; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    QCommandLineParser parser;
    const QCommandLineOption config(QStringLiteral("config"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption headless(QStringLiteral("headless"));
    const QCommandLineOption check(QStringLiteral("check-config"));
    const QCommandLineOption watch(QStringLiteral("watch"));
    const QCommandLineOption newKey(QStringLiteral("new-key"));
    const QCommandLineOption status(QStringLiteral("status"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption version(QStringList{QStringLiteral("V"), QStringLiteral("version")});
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({config, headless, check, watch, status, json, newKey, version, help});
    exitCode = 0;
    const QString name = QString::fromLatin1(programName(program));
    if (!parser.parse(args) || !parser.positionalArguments().isEmpty()) {
        const QString reason = parser.errorText().isEmpty()
                                   ? QStringLiteral("unexpected argument '%1'.")
                                         .arg(parser.positionalArguments().constFirst())
                                   : parser.errorText();
        // One line: the whole help would bury the mistake.
        print(stderr, QStringLiteral("%1: %2 Try '%1 --help'.\n").arg(name, reason));
        exitCode = 2;
        return std::nullopt;
    }
    if (parser.isSet(help)) {
        print(stdout, helpText(program));
        return std::nullopt;
    }
    if (parser.isSet(version)) {
        print(stdout, caption(program) + QStringLiteral("\nzelkfiles ") +
                          QStringLiteral(ZELK_PACKAGE_VERSION) + QLatin1Char('\n'));
        return std::nullopt;
    }
    if (parser.isSet(json) && !parser.isSet(status)) {
        print(stderr,
              QStringLiteral("%1: --json goes with --status. Try '%1 --help'.\n").arg(name));
        exitCode = 2;
        return std::nullopt;
    }
    return CommandLine{parser.value(config), parser.isSet(headless), parser.isSet(check),
                       parser.isSet(watch),  parser.isSet(newKey),   parser.isSet(status),
                       parser.isSet(json)};
}

QString configFilePath(const CommandLine& commandLine, Program program, QString* tried) {
    if (!commandLine.configPath.isEmpty()) {
        return commandLine.configPath;
    }
    const QString name = QString::fromLatin1(configName(program));
    const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    const QString system = QString::fromLatin1(kSystemConfigFolder) + QLatin1Char('/') + name;
    if (tried != nullptr) {
        *tried = beside + QStringLiteral(" and ") + system;
    }
    if (QFileInfo::exists(beside) || !QFileInfo::exists(system)) {
        return beside;
    }
    return system;
}

std::string pathBytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace zelk
