#pragma once

// Whether a file in the outbox is still being written by another program, so that a half-copied
// file is neither sent nor deleted.

#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace zelk {

// What changes when someone writes to a file, or puts another file in its place: size and times,
// and the device and inode that tell one file from another of the same size and times (a copy
// made with its modification time kept, then renamed over the first).
struct FileStamp {
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOfStat(const struct stat& info);

// Nothing when the path names no regular file that can be looked at. A symbolic link is not
// followed: the client sends only the files that lie in its outbox themselves.
std::optional<FileStamp> stampOf(const std::string& path);

enum class WriterProbe {
    Unopenable, // the file is gone, or cannot be opened for another reason
    Unreadable, // the client may not read it (permissions)
    NotRegular, // a symbolic link, a FIFO, a device or a folder stands at the name
    Writer,     // another process holds it open for writing
    NoWriter,   // nobody holds it open for writing
    Unknown,    // no lease could be had here: the caller must judge by the file's stamp
};

// Opens the file read-only, without following a link and without waiting on a FIFO, and asks the
// kernel for a read lease, which it refuses while any process holds the file open for writing;
// the lease is released at once. With `tryLease` false only the open is tried, and the answer is
// at best Unknown.
WriterProbe probeWriters(const std::string& path, bool tryLease);

} // namespace zelk
