#include "outboxscan.h"

#include "fsops.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

constexpr std::uint32_t kWatchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                         IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF |
                                         IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

OutboxScan::OutboxScan(std::string folder, std::int64_t largest)
    : folder_(std::move(folder)), largest_(largest) {}

OutboxScan::~OutboxScan() {
    if (inotify_ >= 0) {
        ::close(inotify_);
    }
}

bool OutboxScan::watch() {
    if (inotify_ < 0) {
        inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_ < 0) {
            return false;
        }
    }
    if (watch_ < 0) {
        watch_ = ::inotify_add_watch(inotify_, folder_.c_str(), kWatchedEvents);
        stale_ = true; // whatever happened before the watch was not reported
    }
    return watch_ >= 0;
}

void OutboxScan::unwatch() {
    if (watch_ >= 0) {
        ::inotify_rm_watch(inotify_, watch_);
    }
    watch_ = -1;
    stale_ = true;
}

// Any report means the folder is read at the next scan; a folder that went away or overflowed
// the queue is read at every scan until it can be watched again.
void OutboxScan::drainEvents() {
    if (inotify_ < 0) {
        return;
    }
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        stale_ = true;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            // A queue overflow only means that reports were lost; the others end the watch.
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                unwatch();
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

const std::vector<OutboxScan::Candidate>& OutboxScan::scan(std::int64_t nowMs,
                                                           std::vector<Rejection>& rejected) {
    drainEvents();
    if (watch_ < 0) {
        watch();
        stale_ = true;
    }
    if (stale_ || nowMs - lastReadMs_ >= kFullScanMs) {
        readFolder(nowMs, rejected);
        candidatesKnown_ = false;
    }
    // Made again only when something changed, so that a folder full of entries that cannot be
    // sent costs nothing per scan.
    if (!candidatesKnown_) {
        candidates_.clear();
        for (const std::string& name : order_) {
            const Entry& entry = entries_[name];
            if (entry.verdict == Verdict::Sendable) {
                candidates_.push_back(Candidate{name, entry.stamp, entry.stillSinceMs});
            }
        }
        candidatesKnown_ = true;
    }
    return candidates_;
}

void OutboxScan::readFolder(std::int64_t nowMs, std::vector<Rejection>& rejected) {
    stale_ = false;
    lastReadMs_ = nowMs;
    ++folderReads_;
    order_.clear();
    for (auto& [name, entry] : entries_) {
        entry.present = false;
    }
    readError_ = 0;
    if (DIR* dir = ::opendir(folder_.c_str())) {
        while (const dirent* found = ::readdir(dir)) {
            const std::string name = found->d_name;
            if (name != "." && name != "..") {
                lookAt(name, nowMs, rejected);
            }
        }
        ::closedir(dir);
    } else {
        readError_ = errno;
        stale_ = true;
    }
    std::erase_if(entries_, [](const auto& item) { return !item.second.present; });
}

// An entry is judged again only when its stamp changed; a verdict given for a stamp (a file that
// could not be read or deleted) holds until then.
void OutboxScan::lookAt(const std::string& name, std::int64_t nowMs,
                        std::vector<Rejection>& rejected) {
    struct stat info {};
    if (::lstat(joinPath(folder_, name).c_str(), &info) != 0) {
        return; // gone since the folder was read
    }
    const FileStamp stamp = stampOfStat(info);
    const bool regular = S_ISREG(info.st_mode);
    auto [at, fresh] = entries_.try_emplace(name);
    Entry& entry = at->second;
    entry.present = true;
    order_.push_back(name);
    const bool changed = fresh || entry.stamp != stamp || entry.regular != regular;
    if (!changed) {
        return;
    }
    entry.stamp = stamp;
    entry.regular = regular;
    entry.stillSinceMs = nowMs;
    const Verdict before = fresh ? Verdict::Sendable : entry.verdict;
    entry.verdict = judge(name, entry);
    if (entry.verdict != Verdict::Sendable && entry.verdict != Verdict::Empty &&
        (fresh || entry.verdict != before)) {
        rejected.push_back(Rejection{name, entry.verdict});
    }
}

OutboxScan::Verdict OutboxScan::judge(const std::string& name, const Entry& entry) const {
    if (!entry.regular) {
        return Verdict::NotRegular;
    }
    if (entry.stamp.size == 0) {
        return Verdict::Empty;
    }
    // The header splits at ";", so such a name would reach the server cut short.
    if (name.find(';') != std::string::npos) {
        return Verdict::NameSeparator;
    }
    return entry.stamp.size > largest_ ? Verdict::TooLarge : Verdict::Sendable;
}

void OutboxScan::reject(const std::string& name, const FileStamp& stamp, Verdict verdict) {
    Entry& entry = entries_[name];
    if (!entry.present) {
        entry.present = true;
        entry.regular = true;
    }
    entry.stamp = stamp;
    entry.verdict = verdict;
    candidatesKnown_ = false;
}

void OutboxScan::forget(const std::string& name) {
    entries_.erase(name);
    std::erase(order_, name);
    candidatesKnown_ = false;
}

const char* OutboxScan::describe(Verdict verdict) {
    switch (verdict) {
    case Verdict::Sendable:
        return "sendable";
    case Verdict::Empty:
        return "empty";
    case Verdict::NotRegular:
        return "not a regular file (a folder, a link, a FIFO or a device): only regular files are "
               "sent";
    case Verdict::NameSeparator:
        return "its name holds \";\", which a header cannot carry";
    case Verdict::TooLarge:
        return "larger than 2147483646 bytes";
    case Verdict::NotReadable:
        return "not readable by the client; tried again once it changes";
    case Verdict::DeleteFailed:
        return "sent whole, but the client cannot delete it; sent again only once it changes";
    }
    return "?";
}

} // namespace zelk
