#include "cli.h"

#include "config.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <cstdio>

namespace zelk {
namespace {

const char* programName(Program program) {
    return program == Program::Server ? "Serveur_ZelkFiles" : "Client_ZelkFiles";
}

const char* configName(Program program) {
    return program == Program::Server ? kServerConfigName : kClientConfigName;
}

void print(std::FILE* to, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
    std::fflush(to);
}

QString helpText(Program program) {
    const QString name = QString::fromLatin1(programName(program));
    const QString what = program == Program::Server
                             ? QStringLiteral("Receives files sent over UDP (and TCP) by ZelkFiles "
                                              "clients into a folder per origin.")
                             : QStringLiteral("Sends every non-empty file of its outbox folder to "
                                              "one ZelkFiles server, then deletes it.");
    return QStringLiteral("Usage: %1 [--config FILE] [--headless] [--version] [--help]\n"
                          "%2\n\n"
                          "Options:\n"
                          "  --config FILE  read the settings from FILE instead of %3 in the\n"
                          "                 folder of the executable\n"
                          "  --headless     run without a window (stop it with a signal)\n"
                          "  --version      print the version and exit\n"
                          "  --help         print this help and exit\n")
        .arg(name, what, QString::fromLatin1(configName(program)));
}

} // namespace

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
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption help(QStringLiteral("help"));
    parser.addOptions({config, headless, version, help});
    exitCode = 0;
    if (!parser.parse(args) || !parser.positionalArguments().isEmpty()) {
        const QString reason = parser.errorText().isEmpty()
                                   ? QStringLiteral("unexpected argument: ") +
                                         parser.positionalArguments().constFirst()
                                   : parser.errorText();
        print(stderr,
              QStringLiteral("%1: %2\n").arg(QString::fromLatin1(programName(program)), reason));
        print(stderr, helpText(program));
        exitCode = 2;
        return std::nullopt;
    }
    if (parser.isSet(help)) {
        print(stdout, helpText(program));
        return std::nullopt;
    }
    if (parser.isSet(version)) {
        print(stdout, caption(program) + QLatin1Char('\n'));
        return std::nullopt;
    }
    return CommandLine{parser.value(config), parser.isSet(headless)};
}

QString configFilePath(const CommandLine& commandLine, Program program) {
    if (!commandLine.configPath.isEmpty()) {
        return commandLine.configPath;
    }
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') +
           QString::fromLatin1(configName(program));
}

std::string pathBytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace zelk
