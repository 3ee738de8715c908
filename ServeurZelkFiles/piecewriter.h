#pragma once

#include "receivefolder.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace zelk {

// The files being received, kept open from one piece to the next of their transfer. Once per
// lookup round (a batch of datagrams read at one wake-up; every TCP frame) the origin's folder and
// the file are looked up again from the receive folder's descriptor and must still be the very
// ones that are open, the file unchanged in owner and mode: a file that someone else removed,
// replaced, moved away or made read-only is given up and opened anew, so the server behaves as if
// it opened the file for every batch (a removed file is created again, a shortened one extended).
// Looking names up costs more than writing a piece: once per batch keeps it off each datagram.
class PieceWriter {
public:
    // Beyond this many transfers at once the least recently written file is closed.
    static constexpr std::size_t kMaxOpen = 32;

    explicit PieceWriter(const ReceiveFolder& folder) : folder_(folder) {}
    ~PieceWriter();
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    void useFileOps(FileOps& ops) { ops_ = &ops; }
    FileOps& ops() const { return *ops_; }

    // A new transfer for the origin: its first piece replaces whatever file holds the name.
    // Nothing is deleted before, so a header repeated late cannot take a finished file away.
    void begin(std::string_view origin);
    // A transfer that goes on in a file an earlier run of the server wrote: opened as it is. The
    // entries naming it may never have been synced, so they are when it is finished.
    void adopt(std::string_view origin);

    // The open file of the origin's transfer of `file`, when its path still names it; -1
    // otherwise (a stale one is closed). The path is looked at once per lookup `round`; round 0
    // always looks.
    int keptFor(std::string_view origin, std::string_view file, std::uint64_t round = 0);
    // Opens (creating when missing) and keeps the file in the origin's folder (`folder`, below
    // the receive folder) for the origin's transfer; -1 when it cannot be had.
    int open(std::string_view origin, std::string_view folder, const std::string& file,
             WriteFailure& failure);
    // Writes `bytes` so that the first lands at 1-based `offset1`; a failure closes the file.
    bool writeAt(int fd, std::int64_t offset1, std::string_view bytes, WriteFailure& failure);

    // Brings the origin's finished file to stable storage (its data, and the folder entries made
    // for it) and closes it; false when the system cannot promise the bytes are kept.
    bool finish(std::string_view origin, WriteFailure& failure);
    // The same for a staging file, which then takes its final name in its folder (replacing any
    // file of that name only now), and that folder is synced so that the new name is kept.
    bool publish(std::string_view origin, const std::string& finalName, WriteFailure& failure);
    // The origin's staging file given over whole to be made durable elsewhere: its descriptor,
    // its folder's, and the receive folder's when the entry naming its folder is owed (else -1),
    // all the caller's to close. False when it is not open.
    struct HandedOff {
        int fd = -1;
        int folderFd = -1;
        int parentFd = -1;
        std::string file;
        std::string folder;
    };
    bool handOff(std::string_view origin, HandedOff& out);
    // The entry naming `folder` in the receive folder is on stable storage (a handed-off file's
    // parentFd was synced).
    void entryKept(const std::string& folder) { entryOwed_.erase(folder); }
    // The bytes written so far to `fd` brought to stable storage.
    bool syncData(int fd, WriteFailure& failure);
    // Closes the origin's file, if open.
    void forget(std::string_view origin);
    // Closes it and forgets what it owed: a transfer given up, whose file nothing writes now.
    void drop(std::string_view origin);
    // Closes every file not written since the previous call.
    void closeIdle();
    void closeAll();
    bool empty() const { return kept_.empty(); }

private:
    struct Kept {
        std::string origin;
        std::string file;
        std::string folder;
        int fd = -1;
        int folderFd = -1;
        std::uint64_t generation = 0;
        struct stat folderStat {};
        struct stat fileStat {};
        std::uint64_t lastUse = 0;
        std::uint64_t lookedUpIn = 0; // the lookup round its names were last found in
        bool usedSinceIdleCheck = true;
    };
    // What a transfer still owes stable storage, and whether its file is still to be replaced.
    struct Transfer {
        bool replace = false;
        bool fileMade = false;
        bool folderMade = false;
    };

    bool stillNamed(const Kept& kept, std::uint64_t round) const;
    bool owesEntry(const Kept& kept, const Transfer& owed) const {
        return owed.folderMade || entryOwed_.count(kept.folder) != 0;
    }
    bool syncAll(const Kept& kept, const Transfer& transfer, WriteFailure& failure);
    bool syncFolders(const Kept& kept, const Transfer& transfer, WriteFailure& failure);
    // Takes the origin's kept file out of the list, with what it owes stable storage.
    bool takeKept(std::string_view origin, Kept& kept, Transfer& owed);
    bool closeFinished(const Kept& kept, bool synced, WriteFailure& failure);
    void close(std::size_t index);
    std::size_t indexOf(std::string_view origin) const;
    std::size_t leastRecentlyUsed() const;

    const ReceiveFolder& folder_;
    FileOps* ops_ = &FileOps::system();
    std::vector<Kept> kept_;
    std::map<std::string, Transfer, std::less<>> transfers_;
    // Origin folders made whose entry in the receive folder is not known to be on stable storage:
    // owed by whichever file in them is finished first, whatever became of the transfer that made
    // them.
    std::set<std::string, std::less<>> entryOwed_;
    std::uint64_t uses_ = 0;
};

} // namespace zelk
