#include "piecewriter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

std::string systemText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool sameEntry(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode &&
           a.st_uid == b.st_uid && a.st_gid == b.st_gid;
}

// The entry at `name` in the folder, never followed if it is a symbolic link.
bool entryIs(int folderFd, const std::string& name, const struct stat& expected) {
    struct stat now {};
    return ::fstatat(folderFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameEntry(now, expected);
}

} // namespace

PieceWriter::~PieceWriter() {
    closeAll();
}

void PieceWriter::begin(std::string_view origin) {
    forget(origin);
    transfers_.insert_or_assign(std::string(origin), Transfer{true, false, false});
}

void PieceWriter::adopt(std::string_view origin) {
    forget(origin);
    transfers_.insert_or_assign(std::string(origin), Transfer{false, true, true});
}

int PieceWriter::keptFor(std::string_view origin, std::string_view file, std::uint64_t round) {
    const std::size_t i = indexOf(origin);
    if (i == kept_.size() || kept_[i].file != file) {
        return -1;
    }
    if (!stillNamed(kept_[i], round)) {
        close(i);
        return -1;
    }
    kept_[i].lookedUpIn = round;
    kept_[i].lastUse = ++uses_;
    kept_[i].usedSinceIdleCheck = true;
    return kept_[i].fd;
}

bool PieceWriter::stillNamed(const Kept& kept, std::uint64_t round) const {
    if (kept.generation != folder_.generation()) {
        return false;
    }
    if (round != 0 && kept.lookedUpIn == round) {
        return true;
    }
    if (!kept.folder.empty() && !entryIs(folder_.fd(), kept.folder, kept.folderStat)) {
        return false;
    }
    return entryIs(kept.folderFd, kept.file, kept.fileStat);
}

int PieceWriter::open(std::string_view origin, std::string_view folder, const std::string& file,
                      WriteFailure& failure) {
    forget(origin);
    Transfer& transfer = transfers_[std::string(origin)];
    Kept kept;
    kept.origin = origin;
    kept.file = file;
    kept.folder = folder;
    bool made = false;
    kept.folderFd = folder_.openOriginFolder(folder, made, failure);
    if (kept.folderFd < 0) {
        return -1;
    }
    transfer.folderMade = transfer.folderMade || made;
    if (made) {
        entryOwed_.insert(kept.folder);
    }
    if (::fstat(kept.folderFd, &kept.folderStat) != 0) {
        failure = WriteFailure{systemText("cannot look at folder " + kept.folder)};
        ::close(kept.folderFd);
        return -1;
    }
    kept.fd = openPlainFile(kept.folderFd, file, transfer.replace, *ops_, made, failure);
    transfer.fileMade = transfer.fileMade || made;
    if (kept.fd < 0 || ::fstat(kept.fd, &kept.fileStat) != 0) {
        if (kept.fd >= 0) {
            failure = WriteFailure{systemText("cannot look at " + file)};
            ::close(kept.fd);
        }
        ::close(kept.folderFd);
        return -1;
    }
    transfer.replace = false;
    if (kept_.size() >= kMaxOpen) {
        close(leastRecentlyUsed());
    }
    kept.generation = folder_.generation();
    kept.lastUse = ++uses_;
    kept_.push_back(std::move(kept));
    return kept_.back().fd;
}

bool PieceWriter::writeAt(int fd, std::int64_t offset1, std::string_view bytes,
                          WriteFailure& failure) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ops_->pwrite(fd, bytes.data() + done, bytes.size() - done,
                         static_cast<off_t>(offset1 - 1 + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            failure = WriteFailure{systemText("cannot write")};
            for (std::size_t i = 0; i < kept_.size(); ++i) {
                if (kept_[i].fd == fd) {
                    failure = WriteFailure{systemText("cannot write " + kept_[i].file)};
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

bool PieceWriter::takeKept(std::string_view origin, Kept& kept, Transfer& owed) {
    const std::size_t i = indexOf(origin);
    if (i == kept_.size()) {
        return false;
    }
    const auto found = transfers_.find(origin);
    owed = found == transfers_.end() ? Transfer{} : found->second;
    kept = std::move(kept_[i]);
    kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
}

bool PieceWriter::closeFinished(const Kept& kept, bool synced, WriteFailure& failure) {
    ::close(kept.folderFd);
    if (::close(kept.fd) != 0 && synced) {
        failure = WriteFailure{systemText("cannot close " + kept.file)};
        return false;
    }
    if (synced) {
        transfers_.erase(kept.origin);
    }
    return synced;
}

bool PieceWriter::finish(std::string_view origin, WriteFailure& failure) {
    Kept kept;
    Transfer owed;
    if (!takeKept(origin, kept, owed)) {
        return true;
    }
    return closeFinished(kept, syncAll(kept, owed, failure), failure);
}

// The bytes first, under the staging name; then the name; then the folder entries. A crash in
// between leaves either the staging file or the whole file under its name, never a part of it.
// The file is closed before the rename, so that a watcher of the folder sees its final name only
// appear, never written to or closed after writing.
bool PieceWriter::publish(std::string_view origin, const std::string& finalName,
                          WriteFailure& failure) {
    Kept kept;
    Transfer owed;
    if (!takeKept(origin, kept, owed)) {
        failure = WriteFailure{"the staging file of " + finalName + " is not open"};
        return false;
    }
    owed.fileMade = true; // the rename makes an entry
    bool done = ops_->fdatasync(kept.fd) == 0;
    if (!done) {
        failure = WriteFailure{systemText("cannot sync " + kept.file)};
    }
    if (::close(kept.fd) != 0 && done) {
        failure = WriteFailure{systemText("cannot close " + kept.file)};
        done = false;
    }
    if (done && ops_->renameat(kept.folderFd, kept.file.c_str(), finalName.c_str()) != 0) {
        failure = WriteFailure{systemText("cannot rename " + kept.file + " to " + finalName)};
        done = false;
    }
    done = done && syncFolders(kept, owed, failure);
    ::close(kept.folderFd);
    if (done) {
        transfers_.erase(kept.origin);
    }
    return done;
}

// What the file owed stable storage goes with it: the rename makes an entry in its folder anyway.
bool PieceWriter::handOff(std::string_view origin, HandedOff& out) {
    Kept kept;
    Transfer owed;
    if (!takeKept(origin, kept, owed)) {
        return false;
    }
    transfers_.erase(kept.origin);
    out.fd = kept.fd;
    out.folderFd = kept.folderFd;
    const bool entry = owesEntry(kept, owed);
    out.parentFd = entry ? ::fcntl(folder_.fd(), F_DUPFD_CLOEXEC, 0) : -1;
    out.file = std::move(kept.file);
    out.folder = kept.folder;
    // Out of descriptors: the entry naming the folder is made durable here instead.
    if (entry && out.parentFd < 0) {
        if (ops_->fsync(folder_.fd()) != 0) {
            ::close(out.fd);
            ::close(out.folderFd);
            return false;
        }
        entryKept(out.folder);
    }
    return true;
}

bool PieceWriter::syncData(int fd, WriteFailure& failure) {
    if (ops_->fdatasync(fd) != 0) {
        failure = WriteFailure{systemText("cannot sync")};
        return false;
    }
    return true;
}

// The data first, then the entry that names it, then the entry that names its folder: the client
// deletes its only copy on the answer that follows.
bool PieceWriter::syncAll(const Kept& kept, const Transfer& owed, WriteFailure& failure) {
    if (ops_->fdatasync(kept.fd) != 0) {
        failure = WriteFailure{systemText("cannot sync " + kept.file)};
        return false;
    }
    return syncFolders(kept, owed, failure);
}

bool PieceWriter::syncFolders(const Kept& kept, const Transfer& owed, WriteFailure& failure) {
    if (owed.fileMade && ops_->fsync(kept.folderFd) != 0) {
        failure = WriteFailure{systemText("cannot sync the folder of " + kept.file)};
        return false;
    }
    if (owesEntry(kept, owed)) {
        if (ops_->fsync(folder_.fd()) != 0) {
            failure = WriteFailure{systemText("cannot sync the receive folder")};
            return false;
        }
        entryKept(kept.folder);
    }
    return true;
}

void PieceWriter::forget(std::string_view origin) {
    const std::size_t i = indexOf(origin);
    if (i < kept_.size()) {
        close(i);
    }
}

void PieceWriter::drop(std::string_view origin) {
    forget(origin);
    if (const auto found = transfers_.find(origin); found != transfers_.end()) {
        transfers_.erase(found);
    }
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
    ::close(kept_[index].folderFd);
    kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(index));
}

std::size_t PieceWriter::indexOf(std::string_view origin) const {
    std::size_t i = 0;
    while (i < kept_.size() && kept_[i].origin != origin) {
        ++i;
    }
    return i;
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
