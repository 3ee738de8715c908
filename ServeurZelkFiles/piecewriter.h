#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace zelk {

// The files being received, kept open from one piece to the next of their transfer. Before every
// piece the path is looked up again and must still name the very file that is open, unchanged in
// owner and mode: a file that someone else removed, replaced, moved away or made read-only is
// given up and opened anew by its path, so the server behaves exactly as if it opened the file
// for every piece (a removed file is created again, a shortened one extended).
class PieceWriter {
public:
    // Beyond this many transfers at once the least recently written file is closed.
    static constexpr std::size_t kMaxOpen = 32;

    PieceWriter() = default;
    ~PieceWriter();
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    // The open file of the origin's transfer of `file`, when its path still names it; -1
    // otherwise (a stale one is closed).
    int keptFor(std::string_view origin, std::string_view file);
    // Opens (creating when missing) and keeps the file at `path` for the origin's transfer; -1,
    // with the cause in `error`, when it cannot be opened.
    int open(std::string_view origin, std::string_view file, const std::string& path,
             std::string& error);
    // Writes `bytes` so that the first lands at 1-based `offset1`; a failure closes the file.
    bool writeAt(int fd, std::int64_t offset1, std::string_view bytes, std::string& error);

    // Closes the origin's file, if open.
    void forget(std::string_view origin);
    // Closes the origin's file at the end of its transfer; false, with the cause in `error`, when
    // the system reports that written bytes may be lost.
    bool release(std::string_view origin, std::string& error);
    // Closes every file not written since the previous call.
    void closeIdle();
    void closeAll();
    bool empty() const { return kept_.empty(); }

private:
    struct Kept {
        std::string origin;
        std::string file;
        std::string path;
        int fd = -1;
        dev_t device = 0;
        ino_t inode = 0;
        mode_t mode = 0;
        uid_t owner = 0;
        gid_t group = 0;
        std::uint64_t lastUse = 0;
        bool usedSinceIdleCheck = true;
    };

    void close(std::size_t index);
    std::size_t leastRecentlyUsed() const;

    std::vector<Kept> kept_;
    std::uint64_t uses_ = 0;
};

} // namespace zelk
