#pragma once

#include "receivefolder.h"

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace zelk {

// Brings files to stable storage on a thread of its own, so that the event thread never waits for
// the disk while datagrams keep arriving; each sync is reported back on the owner's thread.
class SyncWorker {
public:
    // Runs on the owner's thread, told whether every byte written before the request is kept.
    using Done = std::function<void(bool synced)>;

    explicit SyncWorker(QObject& owner, FileOps& ops);
    // Waits for the sync under way; those not begun are dropped unreported.
    ~SyncWorker();
    SyncWorker(const SyncWorker&) = delete;
    SyncWorker& operator=(const SyncWorker&) = delete;

    void useFileOps(FileOps& ops);
    // Syncs the file open at `fd` through a descriptor of its own, so that the caller may close
    // its own meanwhile. False when no descriptor could be had (nothing is reported then).
    bool sync(int fd, Done done);

private:
    struct Request {
        int fd = -1;
        Done done;
    };
    void run();

    QObject& owner_;
    FileOps* ops_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace zelk
