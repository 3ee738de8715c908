#pragma once

#include <QString>
#include <optional>

namespace zelk {

enum class Program { Server, Client };

struct CommandLine {
    QString configPath; // empty: the file beside the executable
    bool headless = false;
    bool checkConfig = false; // --check-config: read, tell, exit
    bool watch = false;       // --watch: a window on the service of the same configuration
    bool newKey = false;      // --new-key: print a fresh key and exit
    bool status = false;      // --status: print the running program's state and exit
    bool json = false;        // --json: that state as JSON
};

// Where a program looks for its configuration when no --config is given: beside the executable
// first, then here.
inline constexpr const char* kSystemConfigFolder = "/etc/zelkfiles";

// "Serveur_ZelkFiles" or "Client_ZelkFiles": the name that starts every line a program writes.
const char* programName(Program program);

// "Serveur_ZelkFile - version: 1.0 révision: 2" or "Client_ZelkFile - version: 1.0 révision: 4".
QString captionFor(Program program, int major, int minor, int revision);
// The caption with this build's own version numbers.
QString caption(Program program);

// Parses [--config FILE] [--headless] [--check-config] [--watch] [--status [--json]] [--new-key]
// [-V|--version] [-h|--help] before any application object exists.
// --version and --help print and give the exit status in `exitCode`; so does a bad command line.
std::optional<CommandLine> parseCommandLine(int argc, char** argv, Program program, int& exitCode);

// The configuration file: the one named on the command line, else the program's file beside the
// executable when there is one, else the one in kSystemConfigFolder (call once the application
// object exists). `tried`, when given, names every place looked at.
QString configFilePath(const CommandLine& commandLine, Program program, QString* tried = nullptr);

// Bytes of a path as Qt names it (file names on Linux are bytes; Qt decodes them as UTF-8).
std::string pathBytes(const QString& path);

} // namespace zelk
