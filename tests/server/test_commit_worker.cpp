// Verified files made durable under their names away from the event thread: the data of a batch
// first, then the names in the order handed over, then each folder once; a failure at any step
// is reported as one, and the file stays under its staging name unless it already took its own.

#include "commitworker.h"

#include "staging.h"
#include "testutil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Records each sync and rename by the name it was made on; fails the one named in `failing`;
// holds the first data sync until released, so that the files handed over meanwhile make one
// batch.
class ScriptedOps : public zelk::FileOps {
public:
    std::vector<std::string> calls;
    std::string failing;

    int fdatasync(int fd) override {
        std::unique_lock lock(mutex_);
        waiting_ = true;
        gate_.wait(lock, [this] { return open_; });
        return note("data " + nameOf(fd));
    }
    int fsync(int fd) override {
        const std::lock_guard lock(mutex_);
        return note("folder " + nameOf(fd));
    }
    int syncfs(int /*fd*/) override {
        const std::lock_guard lock(mutex_);
        return note("file system");
    }
    int renameat(int folderFd, const char* from, const char* to) override {
        const std::lock_guard lock(mutex_);
        const int failed = note(std::string("rename ") + to);
        return failed != 0 ? failed : FileOps::renameat(folderFd, from, to);
    }
    bool waiting() {
        const std::lock_guard lock(mutex_);
        return waiting_;
    }
    void release() {
        const std::lock_guard lock(mutex_);
        open_ = true;
        gate_.notify_all();
    }

private:
    static std::string nameOf(int fd) {
        return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).filename().string();
    }
    int note(const std::string& call) {
        calls.push_back(call);
        if (call == failing) {
            errno = EIO;
            return -1;
        }
        return 0;
    }
    std::mutex mutex_;
    std::condition_variable gate_;
    bool open_ = false;
    bool waiting_ = false;
};

struct Report {
    std::string file;
    bool done;
    bool operator==(const Report&) const = default;
};

// A whole staging file in `folder` (made when missing) below the scratch folder.
zelk::CommitWorker::Job job(const zelktest::ScratchDir& dir, const std::string& folder,
                            const std::string& file, std::vector<Report>& reports) {
    const fs::path at = fs::path(dir.path()) / folder;
    fs::create_directories(at);
    zelktest::writeFile((at / zelk::stagingName(file)).string(), "bytes of " + file);
    zelk::CommitWorker::Job made;
    made.fd = ::open((at / zelk::stagingName(file)).c_str(), O_WRONLY | O_CLOEXEC);
    made.folderFd = ::open(at.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    made.from = zelk::stagingName(file);
    made.to = file;
    made.done = [&reports, file](bool done, const std::string&) {
        reports.push_back({file, done});
    };
    return made;
}

bool waitFor(const std::function<bool()>& condition) {
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return condition();
}

bool named(const zelktest::ScratchDir& dir, const std::string& folder, const std::string& file) {
    return fs::exists(fs::path(dir.path()) / folder / file);
}

} // namespace

// Files handed over while a batch is under way make the next one: their data synced first, their
// names taken in the order they came, each folder synced once for them all.
TEST(CommitWorker, ABatchSyncsAllDataThenNamesThenEachFolderOnce) {
    zelktest::ScratchDir dir;
    ScriptedOps ops;
    QObject owner;
    std::vector<Report> reports;
    {
        zelk::CommitWorker worker(owner, ops);
        worker.commit(job(dir, "d1", "a", reports));
        ASSERT_TRUE(waitFor([&] { return ops.waiting(); }));
        worker.commit(job(dir, "d1", "b", reports));
        worker.commit(job(dir, "d1", "c", reports));
        worker.commit(job(dir, "d2", "d", reports));
        ops.release();
        ASSERT_TRUE(waitFor([&] { return reports.size() == 4; }));
    }
    const auto data = [](const std::string& file) { return "data " + zelk::stagingName(file); };
    EXPECT_EQ(ops.calls, (std::vector<std::string>{data("a"), "rename a", "folder d1", data("b"),
                                                   data("c"), data("d"), "rename b", "rename c",
                                                   "rename d", "folder d1", "folder d2"}));
    EXPECT_EQ(reports, (std::vector<Report>{{"a", true}, {"b", true}, {"c", true}, {"d", true}}));
    for (const auto& [folder, file] : {std::pair{"d1", "a"}, {"d1", "c"}, {"d2", "d"}}) {
        EXPECT_TRUE(named(dir, folder, file)) << file;
        EXPECT_FALSE(named(dir, folder, zelk::stagingName(file))) << file;
    }
}

// A failing step is reported as a failure: the client is not told its file is held.
TEST(CommitWorker, AFailedSyncOrRenameIsReportedAsAFailure) {
    struct Case {
        std::string failing;
        std::vector<Report> reports;
        bool bNamed; // b took its name (the folder's sync failed after)
    };
    const std::vector<Case> cases = {
        {"data " + zelk::stagingName("b"), {{"a", true}, {"b", false}}, false},
        {"rename b", {{"a", true}, {"b", false}}, false},
        {"folder d1", {{"a", false}, {"b", false}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        zelktest::ScratchDir dir;
        ScriptedOps ops;
        ops.failing = c.failing;
        ops.release();
        QObject owner;
        std::vector<Report> reports;
        zelk::CommitWorker worker(owner, ops);
        worker.commit(job(dir, "d1", "a", reports));
        worker.commit(job(dir, "d1", "b", reports));
        ASSERT_TRUE(waitFor([&] { return reports.size() == 2; }));
        EXPECT_EQ(reports, c.reports);
        EXPECT_EQ(named(dir, "d1", "b"), c.bNamed);
        EXPECT_EQ(named(dir, "d1", zelk::stagingName("b")), !c.bNamed);
    }
}

// Many files in one batch share one sync of their file system, then take their names in the order
// they came; when that sync fails, none of them is told it is kept, and none takes its name.
TEST(CommitWorker, ManyFilesShareOneSyncOfTheirFileSystem) {
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "failing" : "kept");
        zelktest::ScratchDir dir;
        ScriptedOps ops;
        ops.failing = fails ? "file system" : "";
        QObject owner;
        std::vector<Report> reports;
        const std::size_t many = zelk::CommitWorker::kOneSyncFrom;
        {
            zelk::CommitWorker worker(owner, ops);
            worker.commit(job(dir, "d1", "first", reports));
            ASSERT_TRUE(waitFor([&] { return ops.waiting(); }));
            for (std::size_t i = 0; i < many; ++i) {
                worker.commit(job(dir, "d1", "f" + std::to_string(i), reports));
            }
            ops.release();
            ASSERT_TRUE(waitFor([&] { return reports.size() == many + 1; }));
        }
        std::vector<std::string> calls{"data " + zelk::stagingName("first"), "rename first",
                                       "folder d1", "file system"};
        std::vector<Report> expected{{"first", true}};
        for (std::size_t i = 0; i < many; ++i) {
            if (!fails) {
                calls.push_back("rename f" + std::to_string(i));
            }
            expected.push_back({"f" + std::to_string(i), !fails});
        }
        if (!fails) {
            calls.push_back("folder d1");
        }
        EXPECT_EQ(ops.calls, calls);
        EXPECT_EQ(reports, expected);
        EXPECT_EQ(named(dir, "d1", "f0"), !fails);
    }
}
