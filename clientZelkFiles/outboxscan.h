#pragma once

// What the client knows of its outbox between scans: every entry with its stamp and whether it
// can be sent, so that entries that cannot (empty files, links, names a header cannot carry,
// files that could not be deleted) cost nothing at each scan. The folder is read again only when
// the kernel reports a change in it (inotify), or at least every kFullScanMs; where no watch can
// be had it is read at every scan, as before. The kernel's reports are read at the start of each
// scan, so a change made before a scan is always seen by it.

#include "openprobe.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zelk {

class OutboxScan {
public:
    // Why an entry is not sent. Those marked "until it changes" are kept out until the entry's
    // stamp differs from the one they were given for.
    enum class Verdict {
        Sendable,
        Empty,
        NotRegular,    // a folder, a symbolic link, a FIFO, a device
        NameSeparator, // the name holds ";", which a header cannot carry
        TooLarge,      // larger than kLargestFile
        NotReadable,   // until it changes
        DeleteFailed,  // until it changes: sent whole, but the client could not delete it
    };
    struct Candidate {
        std::string name;
        FileStamp stamp;
        std::int64_t stillSinceMs = 0; // since when the entry has had this stamp
    };
    // An entry that the latest scan found unsendable for the first time since it last changed.
    struct Rejection {
        std::string name;
        Verdict verdict;
    };

    static constexpr std::int64_t kFullScanMs = 30000;

    // `largest`: the largest file size that can be sent.
    OutboxScan(std::string folder, std::int64_t largest);
    ~OutboxScan();
    OutboxScan(const OutboxScan&) = delete;
    OutboxScan& operator=(const OutboxScan&) = delete;

    // Watches the folder for changes; false when the system gives no watch (every scan then
    // reads the folder).
    bool watch();
    bool watching() const { return watch_ >= 0; }

    // The entries worth trying now, in the folder's order. `nowMs` is a steady clock's reading.
    const std::vector<Candidate>& scan(std::int64_t nowMs, std::vector<Rejection>& rejected);
    // Keeps `name` out of the scans until its stamp differs from `stamp`.
    void reject(const std::string& name, const FileStamp& stamp, Verdict verdict);
    // The entry was deleted by the client: it is looked at again only if it comes back.
    void forget(const std::string& name);
    // Makes the next scan read the folder.
    void touch() { stale_ = true; }
    // What becomes readable when the kernel reports a change; -1 when there is no watch queue.
    int eventHandle() const { return inotify_; }
    // Reads the kernel's reports now: whether the next scan is to read the folder.
    bool changed() {
        drainEvents();
        return stale_;
    }
    // How many times the folder was read, for tests.
    int folderReads() const { return folderReads_; }
    // Why the latest read of the folder failed (an errno value), 0 when it succeeded.
    int readError() const { return readError_; }

    static const char* describe(Verdict verdict);

private:
    struct Entry {
        FileStamp stamp;
        std::int64_t stillSinceMs = 0;
        Verdict verdict = Verdict::Sendable;
        bool regular = false;
        bool present = false;
    };

    void readFolder(std::int64_t nowMs, std::vector<Rejection>& rejected);
    void lookAt(const std::string& name, std::int64_t nowMs, std::vector<Rejection>& rejected);
    Verdict judge(const std::string& name, const Entry& entry) const;
    void drainEvents();
    void unwatch();

    std::string folder_;
    std::int64_t largest_;
    std::map<std::string, Entry> entries_;
    std::vector<std::string> order_; // names as the folder gave them
    std::vector<Candidate> candidates_;
    bool candidatesKnown_ = false;
    int inotify_ = -1;
    int watch_ = -1;
    bool stale_ = true;
    bool everRead_ = false;
    std::int64_t lastReadMs_ = 0;
    int folderReads_ = 0;
    int readError_ = 0;
};

} // namespace zelk
