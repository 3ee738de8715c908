#pragma once

// Whether a file in the outbox is still being written by another program, so that a half-copied
// file is neither sent nor deleted.

#include <cstdint>
#include <optional>
#include <string>

namespace zelk {

// Size and modification time: what changes when someone writes to a file.
struct FileStamp {
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};

// Nothing when the path names no regular file that can be looked at.
std::optional<FileStamp> stampOf(const std::string& path);

enum class WriterProbe {
    Unopenable, // the file cannot be opened for reading
    Writer,     // another process holds it open for writing
    NoWriter,   // nobody holds it open for writing
    Unknown,    // no lease could be had here: the caller must judge by the file's stamp
};

// Opens the file read-only and asks the kernel for a read lease, which it refuses while any
// process holds the file open for writing; the lease is released at once. With `tryLease` false
// only the open is tried, and the answer is at best Unknown.
WriterProbe probeWriters(const std::string& path, bool tryLease);

} // namespace zelk
