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
        : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

} // namespace

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    const std::int64_t nanoseconds =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return FileStamp{static_cast<std::int64_t>(info.st_size), nanoseconds};
}

WriterProbe probeWriters(const std::string& path, bool tryLease) {
    ReadOnlyFile file(path);
    if (file.fd() < 0) {
        return WriterProbe::Unopenable;
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
