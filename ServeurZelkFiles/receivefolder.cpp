#include "receivefolder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

std::string systemText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

WriteFailure unsafe(const std::string& what) {
    return WriteFailure{what, true};
}

std::string kindOf(mode_t mode) {
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISREG(mode)) {
        return "a file";
    }
    return "a device";
}

// What open refused, told as what stands at the name.
WriteFailure openRefusal(int folderFd, const std::string& name, const std::string& what) {
    const int error = errno;
    if (error != ELOOP && error != ENXIO && error != ENOTDIR && error != EISDIR) {
        return WriteFailure{systemText("cannot open " + what)};
    }
    struct stat st {};
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return unsafe(what + " is " + kindOf(st.st_mode));
    }
    return unsafe(what + " is no plain " + (error == ENOTDIR ? "folder" : "file"));
}

constexpr int kFileFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Deletes the file that holds the name, if any, refusing to touch anything but a plain file.
bool clearName(int folderFd, const std::string& name, FileOps& ops, bool& made,
               WriteFailure& failure) {
    struct stat st {};
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        failure = WriteFailure{systemText("cannot look at " + name)};
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        failure = unsafe(name + " is " + kindOf(st.st_mode));
        return false;
    }
    if (ops.unlinkat(folderFd, name.c_str()) != 0) {
        failure = WriteFailure{systemText("cannot delete the earlier file " + name)};
        return false;
    }
    made = true;
    return true;
}

} // namespace

ssize_t FileOps::pwrite(int fd, const void* bytes, std::size_t size, off_t offset) {
    return ::pwrite(fd, bytes, size, offset);
}

int FileOps::fdatasync(int fd) {
    return ::fdatasync(fd);
}

int FileOps::syncfs(int fd) {
    return ::syncfs(fd);
}

int FileOps::fsync(int fd) {
    return ::fsync(fd);
}

int FileOps::unlinkat(int folderFd, const char* name) {
    return ::unlinkat(folderFd, name, 0);
}

int FileOps::renameat(int folderFd, const char* from, const char* to) {
    return ::renameat(folderFd, from, folderFd, to);
}

FileOps& FileOps::system() {
    static FileOps ops;
    return ops;
}

ReceiveFolder::~ReceiveFolder() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool ReceiveFolder::open(const std::string& path, std::string& error) {
    path_ = path;
    bool renewed = false;
    return refresh(renewed, error);
}

bool ReceiveFolder::refresh(bool& renewed, std::string& error) {
    renewed = false;
    struct stat now {};
    if (::stat(path_.c_str(), &now) == 0) {
        if (fd_ >= 0 && now.st_dev == device_ && now.st_ino == inode_) {
            return true;
        }
    } else if (errno != ENOENT || ::mkdir(path_.c_str(), 0777) != 0) {
        error = systemText("cannot make the receive folder " + path_);
        return false;
    }
    renewed = fd_ >= 0;
    return hold(error);
}

bool ReceiveFolder::hold(std::string& error) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat held {};
    if (fd < 0 || ::fstat(fd, &held) != 0) {
        error = systemText("cannot open the receive folder " + path_);
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
    device_ = held.st_dev;
    inode_ = held.st_ino;
    ++generation_;
    return true;
}

int ReceiveFolder::openOriginFolder(std::string_view name, bool& made,
                                    WriteFailure& failure) const {
    made = false;
    if (name.empty()) {
        const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            failure = WriteFailure{systemText("cannot hold the receive folder")};
        }
        return fd;
    }
    const std::string folder(name);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::openat(fd_, folder.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdirat(fd_, folder.c_str(), 0777) == 0) {
            made = true;
        } else if (errno != EEXIST) {
            failure = WriteFailure{systemText("cannot create folder " + folder)};
            return -1;
        }
        fd = ::openat(fd_, folder.c_str(), flags);
    }
    if (fd < 0) {
        failure = openRefusal(fd_, folder, "origin folder " + folder);
    }
    return fd;
}

int openPlainFile(int folderFd, const std::string& name, bool replace, FileOps& ops, bool& made,
                  WriteFailure& failure) {
    made = false;
    if (replace && !clearName(folderFd, name, ops, made, failure)) {
        return -1;
    }
    int fd = ::openat(folderFd, name.c_str(), kFileFlags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
        made = true;
    } else if (errno == EEXIST) {
        fd = ::openat(folderFd, name.c_str(), kFileFlags);
    }
    if (fd < 0) {
        failure = openRefusal(folderFd, name, name);
        return -1;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) {
        failure = WriteFailure{systemText("cannot look at " + name)};
    } else if (!S_ISREG(opened.st_mode)) {
        failure = unsafe(name + " is " + kindOf(opened.st_mode));
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

} // namespace zelk
