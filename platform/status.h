#pragma once

// --status: what the running program of a configuration is doing, from the socket its watchers
// read (the same state a --watch window shows), printed once as text or as JSON, for an ssh
// session or a script.

#include "cli.h"

#include <QJsonObject>
#include <string>

namespace zelk {

// Exit status of --status when no program of the configuration answers (as systemctl's "not
// running").
inline constexpr int kNotRunning = 3;

// Prints the state and returns 0, or says that nothing answers and returns kNotRunning.
int printStatus(Program program, const std::string& configPath, bool json);

// The state as lines of text; `pid` 0 when unknown.
std::string statusText(Program program, const std::string& configPath, long pid,
                       const QJsonObject& state);

} // namespace zelk
