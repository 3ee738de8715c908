#include "staging.h"

#include <cerrno>
#include <charconv>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

constexpr std::string_view kPartSuffix = ".zx-part";
constexpr std::string_view kStateSuffix = ".zx-state";
constexpr std::string_view kTempSuffix = ".zx-temp";
constexpr std::string_view kListSuffix = ".zx-list"; // the server's own lists, never a file
constexpr std::string_view kMagic = "zelk staging state 1\n";
constexpr std::string_view kEnd = "end\n";
// A record holds a few thousand ranges at most; anything larger is not one.
constexpr std::size_t kLargestRecord = 1 << 20;

std::string hidden(std::string_view file, std::string_view suffix) {
    std::string name = ".";
    name += file;
    name += suffix;
    return name;
}

void putNumber(std::string& out, std::string_view key, std::uint64_t value) {
    out += key;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

// Bytes that may hold anything, a line end included: their length first.
void putBytes(std::string& out, std::string_view key, std::string_view bytes) {
    putNumber(out, key, bytes.size());
    out += bytes;
    out += '\n';
}

// Reads the record strictly, field by field, in the order it is written.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool literal(std::string_view expected) {
        if (!ok_ || !text_.starts_with(expected)) {
            ok_ = false;
            return false;
        }
        text_.remove_prefix(expected.size());
        return true;
    }

    template <typename T> T number(std::string_view key) {
        T value{};
        if (!literal(key) || !literal(" ")) {
            return value;
        }
        const auto [end, error] = std::from_chars(text_.data(), text_.data() + text_.size(), value);
        ok_ = error == std::errc{} && end != text_.data();
        text_.remove_prefix(static_cast<std::size_t>(end - text_.data()));
        literal("\n");
        return value;
    }

    std::string bytes(std::string_view key) {
        const auto length = number<std::size_t>(key);
        if (!ok_ || length > text_.size()) {
            ok_ = false;
            return {};
        }
        std::string value(text_.substr(0, length));
        text_.remove_prefix(length);
        literal("\n");
        return value;
    }

    bool next(std::string_view key) const { return ok_ && text_.starts_with(key); }
    bool done() const { return ok_ && text_.empty(); }
    bool ok() const { return ok_; }

private:
    std::string_view text_;
    bool ok_ = true;
};

bool oldStagingFile(int folderFd, const char* name, std::time_t before) {
    struct stat st {};
    return isStagingName(name) && name[0] == '.' &&
           !std::string_view(name).ends_with(kListSuffix) &&
           ::fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_mtime < before;
}

// Calls `each` with every name in the folder held by `folderFd` (which it does not close).
void forEachName(int folderFd, const std::function<void(const char*)>& each) {
    const int fd = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (dir == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    ::rewinddir(dir);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        each(name.c_str());
    }
}

void sweepFolder(int folderFd, const std::string& prefix, std::time_t before,
                 const std::function<void(const std::string&)>& removed) {
    forEachName(folderFd, [&](const char* name) {
        if (oldStagingFile(folderFd, name, before) && ::unlinkat(folderFd, name, 0) == 0) {
            removed(prefix + name);
        }
    });
}

} // namespace

std::optional<FileIdentity> identityAt(int fd, const std::string& name) {
    struct statx st {};
    const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    if (::statx(fd, name.c_str(), flags, STATX_INO | STATX_TYPE | STATX_BTIME, &st) != 0 ||
        !S_ISREG(st.stx_mode)) {
        return std::nullopt;
    }
    FileIdentity identity{st.stx_ino, 0};
    if ((st.stx_mask & STATX_BTIME) != 0) {
        identity.born =
            static_cast<std::uint64_t>(st.stx_btime.tv_sec) * 1000000000U + st.stx_btime.tv_nsec;
    }
    return identity;
}

std::string stagingName(std::string_view file) {
    return hidden(file, kPartSuffix);
}

std::string stateName(std::string_view file) {
    return hidden(file, kStateSuffix);
}

bool isStagingName(std::string_view name) {
    return name.ends_with(kPartSuffix) || name.ends_with(kStateSuffix) ||
           name.ends_with(kTempSuffix) || name.ends_with(kListSuffix);
}

std::string encodeState(const StagingState& state) {
    std::string out(kMagic);
    putNumber(out, "transfer", state.transfer);
    putNumber(out, "size", static_cast<std::uint64_t>(state.size));
    putNumber(out, "inode", state.identity.inode);
    putNumber(out, "born", state.identity.born);
    putNumber(out, "ranges", state.ranges.size());
    for (const ext::Range& range : state.ranges) {
        putNumber(out, "from", static_cast<std::uint64_t>(range.start));
        putNumber(out, "to", static_cast<std::uint64_t>(range.end));
    }
    putBytes(out, "origin", state.origin);
    putBytes(out, "file", state.file);
    if (!state.keyId.empty()) {
        putBytes(out, "key", state.keyId);
    }
    out += kEnd;
    return out;
}

std::optional<StagingState> decodeState(std::string_view text) {
    Reader in(text);
    StagingState state;
    in.literal(kMagic);
    state.transfer = in.number<std::uint64_t>("transfer");
    state.size = in.number<std::int64_t>("size");
    state.identity.inode = in.number<std::uint64_t>("inode");
    state.identity.born = in.number<std::uint64_t>("born");
    const auto count = in.number<std::size_t>("ranges");
    std::int64_t previousEnd = -1;
    for (std::size_t i = 0; in.ok() && i < count; ++i) {
        const auto start = in.number<std::int64_t>("from");
        const auto end = in.number<std::int64_t>("to");
        // In order, apart, within the file: anything else was not written by this server.
        if (start <= previousEnd || end <= start || end > state.size) {
            return std::nullopt;
        }
        state.ranges.push_back(ext::Range{start, end});
        previousEnd = end;
    }
    state.origin = in.bytes("origin");
    state.file = in.bytes("file");
    if (in.next("key")) {
        state.keyId = in.bytes("key");
    }
    in.literal(kEnd);
    if (!in.done()) {
        return std::nullopt;
    }
    return state;
}

bool writeState(int folderFd, const StagingState& state, FileOps& ops, std::string& why) {
    const std::string temp = hidden(state.file, kTempSuffix);
    const std::string text = encodeState(state);
    const int fd = ::openat(folderFd, temp.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot create " + temp;
        return false;
    }
    const bool written =
        ops.pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed ||
        ops.renameat(folderFd, temp.c_str(), stateName(state.file).c_str()) != 0) {
        why = "cannot write " + stateName(state.file);
        ::unlinkat(folderFd, temp.c_str(), 0);
        return false;
    }
    return true;
}

std::optional<StagingState> readState(int folderFd, std::string_view file) {
    const int fd =
        ::openat(folderFd, stateName(file).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text(kLargestRecord + 1, '\0');
    const ssize_t n = ::pread(fd, text.data(), text.size(), 0);
    ::close(fd);
    if (n < 0 || static_cast<std::size_t>(n) > kLargestRecord) {
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(n));
    return decodeState(text);
}

void removeState(int folderFd, std::string_view file) {
    ::unlinkat(folderFd, stateName(file).c_str(), 0);
}

void sweepStaging(int receiveFd, std::int64_t ageSeconds,
                  const std::function<void(const std::string&)>& removed) {
    const std::time_t before = std::time(nullptr) - static_cast<std::time_t>(ageSeconds);
    sweepFolder(receiveFd, "", before, removed);
    forEachName(receiveFd, [&](const char* name) {
        const std::string_view entry(name);
        if (entry == "." || entry == "..") {
            return;
        }
        const int fd =
            ::openat(receiveFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            sweepFolder(fd, std::string(entry) + "/", before, removed);
            ::close(fd);
        }
    });
}

} // namespace zelk
