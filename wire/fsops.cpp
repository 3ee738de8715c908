#include "fsops.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

std::string systemError(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool statOf(const std::string& path, struct stat& st) {
    return ::stat(path.c_str(), &st) == 0;
}

// Closes the descriptor when it leaves scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded (a failed close can lose written data).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

} // namespace

std::string joinPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path.append(name);
    return path;
}

std::string absolutePath(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    char here[PATH_MAX];
    return ::getcwd(here, sizeof here) != nullptr ? joinPath(here, path) : path;
}

bool folderExists(const std::string& path) {
    struct stat st {};
    return statOf(path, st) && S_ISDIR(st.st_mode);
}

bool createFolder(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "cannot create a folder with an empty name";
        return false;
    }
    if (::mkdir(path.c_str(), 0777) != 0) {
        error = systemError("cannot create folder", path);
        return false;
    }
    return true;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return statOf(path, st) && !S_ISDIR(st.st_mode);
}

std::vector<std::string> listFiles(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat st {};
        if (statOf(joinPath(folder, name), st) && S_ISREG(st.st_mode)) {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

std::optional<std::int64_t> fileLength(const std::string& path) {
    struct stat st {};
    if (!statOf(path, st) || S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(st.st_size);
}

bool deleteFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool writeAt(const std::string& path, std::int64_t offset1, std::string_view bytes,
             std::string& error) {
    if (offset1 < 1) {
        error = "write before the first byte of " + path;
        return false;
    }
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        error = systemError("cannot open", path);
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd.get(), bytes.data() + done, bytes.size() - done,
                     static_cast<off_t>(offset1 - 1 + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = systemError("cannot write", path);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (!fd.close()) {
        error = systemError("cannot close", path);
        return false;
    }
    return true;
}

std::optional<std::size_t> readAt(const std::string& path, std::int64_t offset0, char* out,
                                  std::size_t size) {
    if (offset0 < 0) {
        return std::nullopt;
    }
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return std::nullopt;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd.get(), out + done, size - done,
                                  static_cast<off_t>(offset0 + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

} // namespace zelk
