#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace zelk {

// The outbox file being sent, kept open from one acknowledgement to the next. Each piece first
// looks the path up (which also gives the file's current length) and reads through the open
// file only while the path still names it; otherwise the file is opened anew by its path, so
// every piece sees the file as it is at that moment, as if it were opened for each piece. The
// engine lets go of the file whenever it stops waiting on an answer.
class PieceReader {
public:
    PieceReader() = default;
    ~PieceReader() { release(); }
    PieceReader(const PieceReader&) = delete;
    PieceReader& operator=(const PieceReader&) = delete;

    // The current length of the regular file at `path`; nothing when there is none.
    std::optional<std::int64_t> lengthOf(const std::string& path);
    // Reads up to `size` bytes from 0-based `offset0` of the file that lengthOf() just looked at;
    // the count read, or nothing on error.
    std::optional<std::size_t> readAt(const std::string& path, std::int64_t offset0, char* out,
                                      std::size_t size);
    void release();
    bool holding() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    // What the latest lengthOf() found at the path.
    dev_t seenDevice_ = 0;
    ino_t seenInode_ = 0;
};

} // namespace zelk
