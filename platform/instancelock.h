#pragma once

// One running program per configuration: a second copy would bind the same ports or send the
// same outbox a second time. The lock is an flock on a file beside the watch socket, held for the
// program's life (the kernel lets it go when the process ends, however it ends); the file holds the
// holder's pid, for the message the second copy prints, and is removed at a clean end.

#include "cli.h"

#include <QString>
#include <string>

namespace zelk {

// The lock file of this configuration: the watch socket's name, ending in ".lock".
QString instanceLockPath(Program program, const std::string& configPath);

class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    enum class Taken { Yes, Busy, Unavailable };
    // Busy when another process holds it: `holder` is then its pid (0 when unknown). Unavailable
    // when the file cannot be opened, with the reason in `error`.
    Taken take(const std::string& path, long& holder, std::string& error);

private:
    Taken tryOnce(const std::string& path, long& holder, std::string& error);
    bool stillNamed(const std::string& path) const;

    int fd_ = -1;
    bool owned_ = false; // opened for writing: this program's file, removed at its end
    std::string path_;
};

} // namespace zelk
