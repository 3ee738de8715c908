#include "openprobe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

// A lease broken by a writer that opens the file in the instant we hold it is announced with
// SIGIO, whose default action ends the process; we release the lease at once anyway, so the
// signal carries nothing we need.
void ignoreLeaseBreakSignal() {
    static const bool done = [] {
        struct sigaction current {};
        if (::sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            std::signal(SIGIO, SIG_IGN);
        }
        return true;
    }();
    (void)done;
}

class ReadOnlyFile {
public:
    // Non-blocking, so that a file under someone else's write lease fails at once instead of
    // stalling the event thread.
    explicit ReadOnlyFile(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)),
          error_(fd_ < 0 ? errno : 0) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    int fd() const { return fd_; }
    int error() const { return error_; }

private:
    int fd_;
    int error_;
};

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

WriterProbe openFailure(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return WriterProbe::Unreadable;
    case ELOOP: // O_NOFOLLOW met a link
        return WriterProbe::NotRegular;
    case EWOULDBLOCK: // someone else's write lease
        return WriterProbe::Writer;
    default:
        return WriterProbe::Unopenable;
    }
}

} // namespace

FileStamp stampOfStat(const struct stat& info) {
    return FileStamp{static_cast<std::int64_t>(info.st_size), nanoseconds(info.st_mtim),
                     nanoseconds(info.st_ctim), static_cast<std::uint64_t>(info.st_dev),
                     static_cast<std::uint64_t>(info.st_ino)};
}

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return stampOfStat(info);
}

WriterProbe probeWriters(const std::string& path, bool tryLease) {
    ReadOnlyFile file(path);
    if (file.fd() < 0) {
        return openFailure(file.error());
    }
    // Something else may have been put at the name since the scan looked at it.
    struct stat opened {};
    if (::fstat(file.fd(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        return WriterProbe::NotRegular;
    }
    if (!tryLease) {
        return WriterProbe::Unknown;
    }
    ignoreLeaseBreakSignal();
    if (::fcntl(file.fd(), F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(file.fd(), F_SETLEASE, F_UNLCK);
        return WriterProbe::NoWriter;
    }
    // EAGAIN is the kernel's refusal because of a writer; anything else (not the owner, a file
    // system without leases) says nothing about writers.
    return errno == EAGAIN || errno == EWOULDBLOCK ? WriterProbe::Writer : WriterProbe::Unknown;
}

} // namespace zelk
