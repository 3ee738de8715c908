// Staging with the extension, against the real engine: a file shows under its name only once
// verified, a staging file someone else disturbs starts the transfer again rather than being made
// good with zeros, and a server started again on the same folder resumes from what its record
// claims, which it only ever writes after syncing those bytes.

#include "extpeer.h"
#include "harness.h"

#include "digest.h"
#include "extcodec.h"
#include "fsops.h"
#include "rangeset.h"
#include "staging.h"
#include "verifiedlist.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

using namespace servertest;
using zelktest::patternBytes;
using zelktest::readFile;
using zelktest::writeFile;
namespace ext = zelk::ext;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kSize = 25000;
constexpr std::size_t kPiece = 9999;

// The kind and value of an extended answer, or "none".
std::string said(const std::optional<std::string>& answer) {
    const auto frame = answer ? ext::decode(*answer) : std::nullopt;
    return frame
               ? std::string(1, static_cast<char>(frame->kind)) + ' ' + std::to_string(frame->value)
               : "none";
}

// Sends [from, to) piece by piece; false at the first answer that is not an Ack.
bool sendRange(UdpPeer& peer, std::uint64_t transfer, std::string_view file, std::int64_t from,
               std::int64_t to) {
    for (std::int64_t at = from; at < to; at += kPiece) {
        const std::int64_t end = std::min<std::int64_t>(at + kPiece, to);
        if (said(peer.exchange(data(transfer, file, at, end))).front() != 'A') {
            return false;
        }
    }
    return true;
}

// The names in a folder, in order.
std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Records which bytes of the staging file were written and which were synced, and checks every
// record the server renames into place against what was synced before it.
class SyncedBeforeClaimed : public zelk::FileOps {
public:
    std::string stagingPath;
    int records = 0;
    std::vector<std::string> falseClaims;

    ssize_t pwrite(int fd, const void* bytes, std::size_t size, off_t offset) override {
        const ssize_t n = FileOps::pwrite(fd, bytes, size, offset);
        if (n > 0 && isStaging(fd)) {
            const std::lock_guard lock(mutex_);
            written_.add(offset, offset + n);
        }
        return n;
    }
    // Only what was written before the sync began is synced by it (it may run on another thread).
    int fdatasync(int fd) override {
        std::vector<ext::Range> before;
        {
            const std::lock_guard lock(mutex_);
            before = written_.list();
        }
        const int result = FileOps::fdatasync(fd);
        if (result == 0 && isStaging(fd)) {
            const std::lock_guard lock(mutex_);
            synced_ = before;
        }
        return result;
    }
    int renameat(int folderFd, const char* from, const char* to) override {
        if (std::string_view(to).ends_with(".zx-state")) {
            check(fs::path(stagingPath).parent_path() / from);
        }
        return FileOps::renameat(folderFd, from, to);
    }

private:
    bool isStaging(int fd) const {
        struct stat a {};
        struct stat b {};
        return ::fstat(fd, &a) == 0 && ::stat(stagingPath.c_str(), &b) == 0 && a.st_ino == b.st_ino;
    }
    void check(const fs::path& record) {
        const std::lock_guard lock(mutex_);
        ++records;
        const auto state = zelk::decodeState(readFile(record.string()));
        ext::RangeSet synced;
        for (const ext::Range& range : synced_) {
            synced.add(range.start, range.end);
        }
        for (const ext::Range& range : state ? state->ranges : std::vector<ext::Range>{}) {
            if (!synced.covers(range.start, range.end)) {
                falseClaims.push_back(std::to_string(range.start) + "-" +
                                      std::to_string(range.end));
            }
        }
        if (!state) {
            falseClaims.push_back("an unreadable record");
        }
    }

    std::mutex mutex_;
    ext::RangeSet written_;
    std::vector<ext::Range> synced_;
};

std::unique_ptr<zelk::ServeurEngine> startedOn(const std::string& receiveFolder,
                                               const std::string& stagingPlain = {}) {
    auto engine = std::make_unique<zelk::ServeurEngine>(nullptr, nullptr);
    zelk::ServerConfig config;
    config.cfgPortUdp = "0";
    config.cfgRepertoire = receiveFolder;
    config.cfgTrace = "N";
    config.cfgStagingPlain = stagingPlain;
    QString error;
    if (!engine->start(config, error)) {
        throw std::runtime_error(error.toStdString());
    }
    return engine;
}

} // namespace

// Moved away, removed, or replaced by another file: the server never writes on as if its bytes
// were there. The sender is told the transfer is unknown, announces it again, and the file is
// sent whole from nothing; what someone took away is left as they took it.
TEST(Staging, ADisturbedStagingFileStartsTheTransferAgainNeverPadded) {
    const std::string file = patternBytes(kSize, 7);
    const std::pair<const char*, std::function<void(const std::string&, const std::string&)>>
        disturbances[] = {
            {"moved", [](const std::string& staging,
                         const std::string& aside) { fs::rename(staging, aside); }},
            {"removed",
             [](const std::string& staging, const std::string&) { fs::remove(staging); }},
            {"replaced",
             [](const std::string& staging, const std::string& aside) {
                 fs::rename(staging, aside);
                 writeFile(staging, std::string(12000, 'z'));
             }},
        };
    for (const auto& [what, disturb] : disturbances) {
        SCOPED_TRACE(what);
        RunningServer server;
        UdpPeer peer(server.engine().udpPort());
        const std::string staging = server.pathOf("poste7", ".z.bin.zx-part");
        const std::string aside = server.pathOf("poste7", "taken.bin");
        ASSERT_EQ(peer.exchange(offeredHeader("z.bin", 31, kSize)), accepted(31, 0));
        ASSERT_EQ(said(peer.exchange(data(31, file, 0, 12000))), "A 12000");
        EXPECT_FALSE(fs::exists(server.pathOf("poste7", "z.bin")));
        disturb(staging, aside);

        EXPECT_EQ(said(peer.exchange(data(31, file, 12000, kSize))), "U 0");
        // Announced again at once, it waits a pause first: a consumer that takes the staging
        // files must not make the server loop.
        EXPECT_TRUE(unanswered(server, peer, offeredHeader("z.bin", 31, kSize)));
        ASSERT_EQ(peer.exchangeRepeated(offeredHeader("z.bin", 31, kSize)), accepted(31, 0));
        ASSERT_TRUE(sendRange(peer, 31, file, 0, kSize));
        EXPECT_EQ(said(peer.exchange(finish(31, file))), "V 25000");
        EXPECT_EQ(readFile(server.pathOf("poste7", "z.bin")), file);
        if (fs::exists(aside) && std::string(what) != "replaced") {
            EXPECT_EQ(readFile(aside), file.substr(0, 12000));
        }
        EXPECT_FALSE(fs::exists(staging));
    }
}

// The same for a plain transfer staged by the server's key: the piece after the disturbance gets
// no answer, the sender's next header starts the file from its first byte, and the file takes its
// name whole once its last byte is synced.
TEST(Staging, APlainStagedFileDisturbedStartsAgainFromItsFirstByte) {
    zelktest::ScratchDir scratch;
    const auto engine = startedOn(scratch.file("rx"), "O");
    const std::string folder = scratch.file("rx") + "/poste7";
    UdpPeer peer(engine->udpPort());
    const std::string file = patternBytes(3000, 8);
    ASSERT_EQ(peer.exchange(header(kPoste7, "p.bin", 3000)), ack(1));
    ASSERT_EQ(peer.exchange(content(kPoste7, file.substr(0, 1000))), ack(1001));
    EXPECT_FALSE(fs::exists(folder + "/p.bin"));
    fs::rename(folder + "/.p.bin.zx-part", folder + "/taken.bin");

    // Unanswered: the next answer to come is the header's.
    peer.send(content(kPoste7, file.substr(1000, 1000)));
    ASSERT_EQ(peer.exchangeRepeated(header(kPoste7, "p.bin", 3000)), ack(1));
    ASSERT_EQ(peer.exchange(content(kPoste7, file.substr(0, 1500))), ack(1501));
    EXPECT_FALSE(fs::exists(folder + "/p.bin"));
    ASSERT_EQ(peer.exchange(content(kPoste7, file.substr(1500))), ack(3001));
    EXPECT_EQ(readFile(folder + "/p.bin"), file);
    EXPECT_EQ(readFile(folder + "/taken.bin"), file.substr(0, 1000));
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"p.bin", "taken.bin"}));
}

TEST(Staging, NamesThatEndLikeTheServersOwnFilesAreRefused) {
    RunningServer server;
    UdpPeer peer(server.engine().udpPort());
    for (const char* name : {".x.bin.zx-part", "y.zx-state", ".z.zx-temp"}) {
        EXPECT_TRUE(unanswered(server, peer, offeredHeader(name, 41, 100))) << name;
        EXPECT_TRUE(unanswered(server, peer, header(kPoste7, name, 100))) << name;
    }
}

// A server started again on the same folder (the first one stopped answering, as if killed)
// resumes from its record when the staging file is the one the record describes, and from
// nothing otherwise; every record claims only synced bytes.
TEST(Staging, AServerStartedAgainResumesFromWhatItsRecordClaims) {
    const std::int64_t size = 10 << 20;
    const std::string file = patternBytes(static_cast<std::size_t>(size), 9);
    const std::pair<const char*, std::function<void(const std::string&, const std::string&)>>
        cases[] = {
            {"untouched", [](const std::string&, const std::string&) {}},
            {"staging file copied over",
             [](const std::string& staging, const std::string&) {
                 const std::string bytes = readFile(staging);
                 fs::remove(staging);
                 writeFile(staging, bytes);
             }},
            {"record cut short",
             [](const std::string&, const std::string& record) {
                 fs::resize_file(record, fs::file_size(record) - 4);
             }},
        };
    for (const auto& [what, change] : cases) {
        SCOPED_TRACE(what);
        zelktest::ScratchDir scratch;
        const std::string receive = scratch.file("rx");
        const std::string folder = receive + "/poste7";
        auto first = startedOn(receive);
        SyncedBeforeClaimed ops;
        ops.stagingPath = folder + "/.r.bin.zx-part";
        first->useFileOps(ops);
        UdpPeer peer(first->udpPort());
        ASSERT_EQ(peer.exchange(offeredHeader("r.bin", 51, size)), accepted(51, 0));
        ASSERT_TRUE(sendRange(peer, 51, file, 0, 9 << 20));
        ASSERT_TRUE(waitUntil([&] { return ops.records >= 1; }));
        first.reset(); // a sync still under way ends unrecorded, as in a crash
        EXPECT_TRUE(ops.falseClaims.empty()) << ops.falseClaims.front();
        change(ops.stagingPath, folder + "/.r.bin.zx-state");

        const auto second = startedOn(receive);
        UdpPeer again(second->udpPort());
        const auto answer = again.exchange(offeredHeader("r.bin", 52, size));
        ASSERT_TRUE(answer);
        const auto accept = ext::findAccept(*answer);
        ASSERT_TRUE(accept);
        if (std::string(what) == "untouched") {
            EXPECT_GE(accept->cumulative, 4 << 20);
            EXPECT_LE(accept->cumulative, 9 << 20);
            EXPECT_TRUE(second->table().at(0).resumed);
        } else {
            EXPECT_EQ(accept->cumulative, 0);
        }
        ASSERT_TRUE(sendRange(again, 52, file, accept->cumulative, size));
        EXPECT_EQ(said(again.exchange(finish(52, file))), "V " + std::to_string(size));
        EXPECT_EQ(readFile(folder + "/r.bin"), file);
        EXPECT_EQ(namesIn(folder), std::vector<std::string>{"r.bin"});
    }
}

// Staging files nobody resumed go after the configured age; younger ones, and anything not named
// like them, stay.
TEST(Staging, StagingFilesOlderThanTheAgeAreRemovedAtStart) {
    zelktest::ScratchDir scratch;
    const std::string folder = scratch.file("rx/poste7");
    fs::create_directories(folder);
    for (const char* name :
         {".old.bin.zx-part", ".old.bin.zx-state", ".new.bin.zx-part", "old.bin", ".old.bin"}) {
        writeFile(folder + "/" + name, "x");
    }
    const auto fourDaysAgo = fs::file_time_type::clock::now() - std::chrono::hours(96);
    for (const char* name : {".old.bin.zx-part", ".old.bin.zx-state", "old.bin", ".old.bin"}) {
        fs::last_write_time(folder + "/" + name, fourDaysAgo);
    }
    const auto engine = startedOn(scratch.file("rx"));
    EXPECT_EQ(namesIn(folder),
              (std::vector<std::string>{".new.bin.zx-part", ".old.bin", "old.bin"}));
}

// A sender whose final answer was lost is told again that its file is held, across a restart
// too, but only the origin whose bytes were verified, with the same digest, and only while the
// file under that name is still the one verified. A damaged list only costs the shortcut.
TEST(Staging, AVerifiedTransferIsAnsweredAgainAfterARestartOnlyForItsOriginAndFile) {
    zelktest::ScratchDir scratch;
    const std::string receive = scratch.file("rx");
    const std::int64_t size = 300000;
    const std::string file = patternBytes(static_cast<std::size_t>(size), 4);
    auto engine = startedOn(receive);
    {
        UdpPeer peer(engine->udpPort());
        ASSERT_EQ(peer.exchange(offeredHeader("v.bin", 61, size)), accepted(61, 0));
        ASSERT_TRUE(sendRange(peer, 61, file, 0, size));
        ASSERT_EQ(said(peer.exchange(finish(61, file))), "V " + std::to_string(size));
    }
    engine.reset();
    engine = startedOn(receive);
    UdpPeer peer(engine->udpPort());
    EXPECT_EQ(peer.exchange(offeredHeader("v.bin", 61, size)), accepted(61, size));
    EXPECT_EQ(said(peer.exchange(finish(61, file))), "V " + std::to_string(size));
    const std::string forged(static_cast<std::size_t>(size), 'f');
    EXPECT_EQ(said(peer.exchange(finish(61, forged))), "U 0") << "another digest";
    writeFile(receive + "/poste7/v.bin", forged); // the file is not the one verified any more
    EXPECT_EQ(said(peer.exchange(finish(61, file))), "U 0");
    const std::string other = zelk::buildHeaderFrame(
        "autre     ", "v.bin", ext::plainSizeText(size), ext::offerField({61, size}));
    EXPECT_EQ(peer.exchange(other), accepted(61, 0)) << "another origin's identity";

    engine.reset();
    writeFile(receive + "/.verified.zx-list", "zelk verified 1\nnot a line\n");
    engine = startedOn(receive);
    UdpPeer after(engine->udpPort());
    EXPECT_EQ(after.exchange(offeredHeader("w.bin", 62, size)), accepted(62, 0));
}

// The list kept across restarts reads back as written, and a list cut anywhere or altered is no
// list at all: it is ignored, never half read.
TEST(Staging, TheVerifiedListReadsBackWholeOrNotAtAll) {
    zelk::VerifiedList list;
    const std::int64_t now = 1800000000000;
    for (std::uint64_t i = 1; i <= 3; ++i) {
        zelk::VerifiedEntry entry{"poste7    ",
                                  i,
                                  static_cast<std::int64_t>(1000 * i),
                                  i == 2 ? std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)
                                         : std::string(),
                                  {},
                                  "a;b\nc",
                                  40 + i,
                                  1234567890123,
                                  now};
        entry.digest[0] = static_cast<unsigned char>(i);
        list.add(entry);
    }
    const std::string text = list.encode();
    zelk::VerifiedList back;
    ASSERT_TRUE(back.decode(text, now + 1000));
    EXPECT_EQ(back.encode(), text);
    ASSERT_NE(
        back.find({"poste7    ", 2, 2000, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)}, now),
        nullptr);
    EXPECT_EQ(back.find({"poste7    ", 2, 2000, ""}, now), nullptr) << "another key";
    EXPECT_EQ(back.find({"poste8    ", 1, 1000, ""}, now), nullptr) << "another origin";
    EXPECT_EQ(back.find({"poste7    ", 1, 1000, ""}, now + zelk::VerifiedList::kKeepMs), nullptr)
        << "too old";
    for (std::size_t cut = 0; cut < text.size(); ++cut) {
        EXPECT_FALSE(back.decode(text.substr(0, cut), now)) << cut;
        EXPECT_EQ(back.size(), 0U);
    }
    std::string altered = text;
    altered[text.find(' ') + 1] = 'x';
    EXPECT_FALSE(back.decode(altered, now));
    EXPECT_FALSE(back.decode(text + "extra\n", now));
    EXPECT_TRUE(back.decode(text, now + zelk::VerifiedList::kKeepMs)); // all too old: forgotten
    EXPECT_EQ(back.size(), 0U);
}
