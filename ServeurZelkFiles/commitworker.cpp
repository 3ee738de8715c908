#include "commitworker.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zelk {
namespace {

std::string systemText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void closeJob(const CommitWorker::Job& job) {
    ::close(job.fd);
    ::close(job.folderFd);
    if (job.parentFd >= 0) {
        ::close(job.parentFd);
    }
}

struct Outcome {
    bool done = true;
    std::string why;
    void fail(std::string text) {
        if (done) {
            done = false;
            why = std::move(text);
        }
    }
};

// The bytes first, under the staging name; the file is closed before it takes its name, so that
// a watcher of the folder sees the name only appear, never written to or closed after writing.
void syncData(const CommitWorker::Job& job, Outcome& outcome, FileOps& ops) {
    if (ops.fdatasync(job.fd) != 0) {
        outcome.fail(systemText("cannot sync " + job.from));
    }
    if (::close(job.fd) != 0) {
        outcome.fail(systemText("cannot close " + job.from));
    }
}

bool oneFileSystem(const std::vector<CommitWorker::Job>& batch) {
    std::optional<dev_t> device;
    for (const CommitWorker::Job& job : batch) {
        struct stat st {};
        if (::fstat(job.fd, &st) != 0 || (device && *device != st.st_dev)) {
            return false;
        }
        device = st.st_dev;
    }
    return true;
}

// The data of the whole batch: one sync of their file system when they share one and are many
// (a failure there fails them all), else a sync of each.
void syncAllData(const std::vector<CommitWorker::Job>& batch, std::vector<Outcome>& outcomes,
                 FileOps& ops) {
    if (batch.size() < CommitWorker::kOneSyncFrom || !oneFileSystem(batch)) {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            syncData(batch[i], outcomes[i], ops);
        }
        return;
    }
    const bool kept = ops.syncfs(batch.front().fd) == 0;
    const std::string why = systemText("cannot sync the file system of " + batch.front().from);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (!kept) {
            outcomes[i].fail(why);
        }
        if (::close(batch[i].fd) != 0) {
            outcomes[i].fail(systemText("cannot close " + batch[i].from));
        }
    }
}

// A folder's device and inode, so that the files of one folder share its sync; none when fstat
// fails, and such a folder is synced for its own file alone.
std::optional<std::pair<dev_t, ino_t>> folderId(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    return std::pair{st.st_dev, st.st_ino};
}

// Each folder once, for every file in it that took its name: a failure fails them all, since
// none of their names is known to be kept.
void syncFolders(const std::vector<CommitWorker::Job>& batch, std::vector<Outcome>& outcomes,
                 int CommitWorker::Job::*folder, FileOps& ops) {
    std::vector<std::optional<std::pair<dev_t, ino_t>>> ids(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        ids[i] = folderId(batch[i].*folder);
    }
    std::vector<bool> synced(batch.size(), false);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (synced[i] || !outcomes[i].done || batch[i].*folder < 0) {
            continue;
        }
        const bool kept = ops.fsync(batch[i].*folder) == 0;
        const std::string why = systemText("cannot sync the folder of " + batch[i].to);
        for (std::size_t j = i; j < batch.size(); ++j) {
            if (!synced[j] && outcomes[j].done && batch[j].*folder >= 0 &&
                (j == i || (ids[i] && ids[i] == ids[j]))) {
                synced[j] = true;
                if (!kept) {
                    outcomes[j].fail(why);
                }
            }
        }
    }
}

} // namespace

CommitWorker::CommitWorker(QObject& owner, FileOps& ops)
    : owner_(owner), ops_(&ops), thread_([this] { run(); }) {}

CommitWorker::~CommitWorker() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    for (const Job& job : queue_) {
        closeJob(job);
    }
}

void CommitWorker::useFileOps(FileOps& ops) {
    const std::lock_guard lock(mutex_);
    ops_ = &ops;
}

void CommitWorker::commit(Job job) {
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void CommitWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            return;
        }
        std::vector<Job> batch(std::make_move_iterator(queue_.begin()),
                               std::make_move_iterator(queue_.end()));
        queue_.clear();
        FileOps& ops = *ops_;
        lock.unlock();
        commitBatch(batch, ops);
        lock.lock();
    }
}

// Then the names, in the order the files were handed over; then the folders that hold them. A
// crash at any point leaves each file either under its staging name or whole under its own.
void CommitWorker::commitBatch(std::vector<Job>& batch, FileOps& ops) const {
    std::vector<Outcome> outcomes(batch.size());
    syncAllData(batch, outcomes, ops);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (outcomes[i].done &&
            ops.renameat(batch[i].folderFd, batch[i].from.c_str(), batch[i].to.c_str()) != 0) {
            outcomes[i].fail(systemText("cannot rename " + batch[i].from + " to " + batch[i].to));
        }
    }
    syncFolders(batch, outcomes, &Job::folderFd, ops);
    syncFolders(batch, outcomes, &Job::parentFd, ops);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        ::close(batch[i].folderFd);
        if (batch[i].parentFd >= 0) {
            ::close(batch[i].parentFd);
        }
        // Queued to the owner's thread; dropped by Qt if the owner is gone by then.
        QMetaObject::invokeMethod(
            &owner_,
            [done = std::move(batch[i].done), outcome = std::move(outcomes[i])] {
                done(outcome.done, outcome.why);
            },
            Qt::QueuedConnection);
    }
}

} // namespace zelk
