#pragma once

#include "receivefolder.h"

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelk {

// Makes verified files durable under their names on a thread of its own, many at a time: the
// data of every file handed over so far is synced, each takes its name in the order it was
// handed over, then each folder involved is synced once for them all. Small files arrive by the
// hundred a second, and a sync each on the event thread would cap them at the disk's pace.
class CommitWorker {
public:
    // Runs on the owner's thread: whether the file is on stable storage under its name, and why
    // not.
    using Done = std::function<void(bool committed, const std::string& why)>;
    // A whole staging file, its descriptors given over to the worker, which closes them.
    struct Job {
        int fd = -1;       // the file, written
        int folderFd = -1; // the folder that holds it
        int parentFd = -1; // the folder above, when its entry for `folderFd` is owed; else -1
        std::string from;  // its staging name
        std::string to;    // its name
        Done done;
    };

    explicit CommitWorker(QObject& owner, FileOps& ops);
    // Waits for the batch under way; files not begun stay under their staging names, unreported.
    ~CommitWorker();
    CommitWorker(const CommitWorker&) = delete;
    CommitWorker& operator=(const CommitWorker&) = delete;

    // From so many files in a batch on one file system, one sync of it makes their data durable
    // rather than a sync each: the journal commits once for them all (64 files of 4 KiB: 0.7 ms
    // against 11 to 25 ms here), where a sync each made a small file wait a batch's length.
    static constexpr std::size_t kOneSyncFrom = 8;

    void useFileOps(FileOps& ops);
    void commit(Job job);

private:
    void run();
    void commitBatch(std::vector<Job>& batch, FileOps& ops) const;

    QObject& owner_;
    FileOps* ops_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace zelk
