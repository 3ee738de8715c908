#include "instancelock.h"

#include "watch.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zelk {

QString instanceLockPath(Program program, const std::string& configPath) {
    QString path = watchSocketPath(program, configPath);
    path.chop(static_cast<qsizetype>(std::strlen(".watch")));
    return path + QStringLiteral(".lock");
}

// The file goes with the program, so that runs leave nothing behind; a copy that opened it just
// before finds, once it holds the lock, that the path names another file, and tries again.
InstanceLock::~InstanceLock() {
    if (fd_ >= 0) {
        if (owned_) {
            ::unlink(path_.c_str());
        }
        ::close(fd_);
    }
}

InstanceLock::Taken InstanceLock::take(const std::string& path, long& holder, std::string& error) {
    for (int tries = 0; tries < 5; ++tries) {
        const Taken taken = tryOnce(path, holder, error);
        if (taken != Taken::Yes || stillNamed(path)) {
            return taken;
        }
        ::close(fd_);
        fd_ = -1;
    }
    error = path + ": replaced again and again while being locked";
    return Taken::Unavailable;
}

bool InstanceLock::stillNamed(const std::string& path) const {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd_, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

InstanceLock::Taken InstanceLock::tryOnce(const std::string& path, long& holder,
                                          std::string& error) {
    holder = 0;
    owned_ = true;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0 && errno == EACCES) {
        // The service's own file: another user may still learn whether it is held.
        owned_ = false;
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd_ < 0) {
        error = path + ": " + std::strerror(errno);
        return Taken::Unavailable;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        char text[32] = {};
        if (::pread(fd_, text, sizeof text - 1, 0) > 0) {
            holder = std::strtol(text, nullptr, 10);
        }
        error = path + ": " + std::strerror(why);
        ::close(fd_);
        fd_ = -1;
        return why == EWOULDBLOCK ? Taken::Busy : Taken::Unavailable;
    }
    path_ = path;
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (owned_ && (::ftruncate(fd_, 0) != 0 ||
                   ::pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))) {
        // The lock holds all the same; only the message of a second copy loses the pid.
    }
    return Taken::Yes;
}

} // namespace zelk
