#include "piecereader.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {

std::optional<std::int64_t> PieceReader::lengthOf(const std::string& path) {
    struct stat now {};
    if (::lstat(path.c_str(), &now) != 0 || !S_ISREG(now.st_mode)) {
        release();
        return std::nullopt;
    }
    seenDevice_ = now.st_dev;
    seenInode_ = now.st_ino;
    return static_cast<std::int64_t>(now.st_size);
}

std::optional<std::size_t> PieceReader::readAt(const std::string& path, std::int64_t offset0,
                                               char* out, std::size_t size) {
    if (offset0 < 0) {
        return std::nullopt;
    }
    if (fd_ >= 0 && (device_ != seenDevice_ || inode_ != seenInode_)) {
        release();
    }
    if (fd_ < 0) {
        // A link or a FIFO put at the name after the look-up is neither followed nor waited on.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat opened {};
        if (fd < 0) {
            return std::nullopt;
        }
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
            ::close(fd);
            return std::nullopt;
        }
        fd_ = fd;
        device_ = opened.st_dev;
        inode_ = opened.st_ino;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd_, out + done, size - done,
                                  static_cast<off_t>(offset0 + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            release();
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void PieceReader::release() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
}

} // namespace zelk
