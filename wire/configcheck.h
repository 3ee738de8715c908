#pragma once

// What an operator should hear about a configuration before the program runs with it: lines the
// lenient reader accepts although they are almost surely mistakes, settings with which the
// program cannot run, and the settings in effect.

#include "config.h"

#include <string>
#include <string_view>
#include <vector>

namespace zelk {

struct ConfigFindings {
    std::vector<std::string> warnings; // accepted, but almost surely not what was meant
    std::vector<std::string> errors;   // the program cannot run with these
    std::vector<std::string> settings; // what the program will do, one line each
    // Errors (also in `errors`) that refuse a start as well as the check: the engine itself would
    // run with these, on a port nobody meant or read from a damaged number.
    std::vector<std::string> refusedAtStart;
};

// Folders that the packaged units make when they first start (StateDirectory=), and those the
// service manager names in $STATE_DIRECTORY: a folder to be made below one of them is no error
// before the unit's first start.
std::vector<std::string> unitMadeFolders(bool server);

// `content` is the file as read, `cfg` what the reader made of it. With `lookAtFolders`, the
// folder must be one the program can make (only the last element of its path) or one where the
// user running the check may read, write and delete.
ConfigFindings checkConfig(std::string_view content, const ServerConfig& cfg, bool lookAtFolders);
ConfigFindings checkConfig(std::string_view content, const ClientConfig& cfg, bool lookAtFolders);

// The server's "adresse_Ecoute=" without blanks around it: empty (every address) or a numeric
// IPv4 or IPv6 address, scope included; false for anything else (a host name, say).
bool listenAddressText(const std::string& value, std::string& address);

} // namespace zelk
