#include "piecewriter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

std::string systemError(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

} // namespace

PieceWriter::~PieceWriter() {
    closeAll();
}

int PieceWriter::keptFor(std::string_view origin, std::string_view file) {
    for (std::size_t i = 0; i < kept_.size(); ++i) {
        Kept& kept = kept_[i];
        if (kept.origin != origin || kept.file != file) {
            continue;
        }
        struct stat now {};
        if (::stat(kept.path.c_str(), &now) != 0 || now.st_dev != kept.device ||
            now.st_ino != kept.inode || now.st_mode != kept.mode || now.st_uid != kept.owner ||
            now.st_gid != kept.group) {
            close(i);
            return -1;
        }
        kept.lastUse = ++uses_;
        kept.usedSinceIdleCheck = true;
        return kept.fd;
    }
    return -1;
}

int PieceWriter::open(std::string_view origin, std::string_view file, const std::string& path,
                      std::string& error) {
    forget(origin);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = systemError("cannot open", path);
        return -1;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) {
        error = systemError("cannot look at", path);
        ::close(fd);
        return -1;
    }
    if (kept_.size() >= kMaxOpen) {
        close(leastRecentlyUsed());
    }
    kept_.push_back(Kept{std::string(origin), std::string(file), path, fd, opened.st_dev,
                         opened.st_ino, opened.st_mode, opened.st_uid, opened.st_gid, ++uses_,
                         true});
    return fd;
}

bool PieceWriter::writeAt(int fd, std::int64_t offset1, std::string_view bytes,
                          std::string& error) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                     static_cast<off_t>(offset1 - 1 + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = std::string("cannot write: ") + std::strerror(n < 0 ? errno : ENOSPC);
            for (std::size_t i = 0; i < kept_.size(); ++i) {
                if (kept_[i].fd == fd) {
                    error = systemError("cannot write", kept_[i].path);
                    close(i);
                    break;
                }
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void PieceWriter::forget(std::string_view origin) {
    for (std::size_t i = 0; i < kept_.size(); ++i) {
        if (kept_[i].origin == origin) {
            close(i);
            return;
        }
    }
}

bool PieceWriter::release(std::string_view origin, std::string& error) {
    for (std::size_t i = 0; i < kept_.size(); ++i) {
        if (kept_[i].origin == origin) {
            const Kept kept = std::move(kept_[i]);
            kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
            if (::close(kept.fd) != 0) {
                error = systemError("cannot close", kept.path);
                return false;
            }
            return true;
        }
    }
    return true;
}

void PieceWriter::closeIdle() {
    for (std::size_t i = kept_.size(); i-- > 0;) {
        if (!kept_[i].usedSinceIdleCheck) {
            close(i);
        } else {
            kept_[i].usedSinceIdleCheck = false;
        }
    }
}

void PieceWriter::closeAll() {
    while (!kept_.empty()) {
        close(kept_.size() - 1);
    }
}

void PieceWriter::close(std::size_t index) {
    ::close(kept_[index].fd);
    kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::size_t PieceWriter::leastRecentlyUsed() const {
    std::size_t oldest = 0;
    for (std::size_t i = 1; i < kept_.size(); ++i) {
        if (kept_[i].lastUse < kept_[oldest].lastUse) {
            oldest = i;
        }
    }
    return oldest;
}

} // namespace zelk
