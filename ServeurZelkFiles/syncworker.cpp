#include "syncworker.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace zelk {

SyncWorker::SyncWorker(QObject& owner, FileOps& ops)
    : owner_(owner), ops_(&ops), thread_([this] { run(); }) {}

SyncWorker::~SyncWorker() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    for (const Request& request : queue_) {
        ::close(request.fd);
    }
}

void SyncWorker::useFileOps(FileOps& ops) {
    const std::lock_guard lock(mutex_);
    ops_ = &ops;
}

// The worker syncs through a read-only opening of its own. A copy of the writer's descriptor
// would share its opening for writing, and when the worker's close came last (the file renamed
// to its name meanwhile) it would tell watchers the file was just written under its final name.
bool SyncWorker::sync(int fd, Done done) {
    int own = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (own < 0) {
        own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0); // no /proc: the copy still syncs the same file
    }
    if (own < 0) {
        return false;
    }
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(Request{own, std::move(done)});
    }
    wake_.notify_one();
    return true;
}

void SyncWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            return;
        }
        Request request = std::move(queue_.front());
        queue_.pop_front();
        FileOps& ops = *ops_;
        lock.unlock();
        const bool synced = ops.fdatasync(request.fd) == 0;
        ::close(request.fd);
        // Queued to the owner's thread; dropped by Qt if the owner is gone by then.
        QMetaObject::invokeMethod(
            &owner_, [done = std::move(request.done), synced] { done(synced); },
            Qt::QueuedConnection);
        lock.lock();
    }
}

} // namespace zelk
