// The extension's server core driven without sockets, files or clock: each script feeds offered
// headers and extended datagrams in a virtual time over an in-memory disk, and checks every
// answer, what ends on the disk and what the record beside a staging file claims.

#include "extendedreceiver.h"

#include "codec.h"
#include "digest.h"
#include "extcodec.h"
#include "secure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using zelk::ExtDatagramReply;
using zelk::ExtendedReceiver;
using zelk::ExtHeaderIn;
using zelk::StagingState;
using zelk::TransferRow;
namespace ext = zelk::ext;

namespace {

const std::string kA = "poste7    ";
const std::string kFile = "abcdefghijklmnopqrstuvwxyz0123"; // 30 bytes

std::string key(const std::string& origin, const std::string& name) {
    return origin + "/" + name;
}

// The disk as the shell keeps it, in memory: staging files renamed once whole, records beside
// them, identities as inode numbers.
struct MemDisk : zelk::ExtendedDisk {
    zelk::TransferTable* table = nullptr;
    std::map<std::string, std::string> files;
    std::map<std::string, std::uint64_t> inodes;
    std::map<std::string, StagingState> records;
    std::uint64_t nextInode = 100;
    bool failWrites = false;
    bool disturbed = false;
    struct Sync {
        StagingState record;
        std::int64_t claimed;
        std::uint64_t epoch;
    };
    std::vector<Sync> syncs;
    int saves = 0;

    std::string path(const TransferRow& row) const {
        return key(row.origin, row.staged ? zelk::stagingName(row.file) : row.file);
    }
    void make(const std::string& at, std::string bytes) {
        files[at] = std::move(bytes);
        inodes[at] = ++nextInode;
    }
    bool open(int index, bool, zelk::WriteFailure& failure) override {
        if (disturbed) {
            failure = zelk::WriteFailure{"moved away", false, true};
            return false;
        }
        TransferRow& row = table->edit(index);
        if (files.count(path(row)) == 0) {
            make(path(row), {});
        }
        if (row.staged && row.stagedInode == 0) {
            row.stagedInode = inodes[path(row)];
        }
        return true;
    }
    bool write(int index, std::int64_t offset, std::string_view bytes,
               zelk::WriteFailure& failure) override {
        if (failWrites) {
            failure.why = "disk full";
            return false;
        }
        if (!open(index, false, failure)) {
            return false;
        }
        std::string& file = files[path(table->at(index))];
        const auto at = static_cast<std::size_t>(offset);
        file.resize(std::max(file.size(), at + bytes.size()), '\0');
        file.replace(at, bytes.size(), bytes);
        return true;
    }
    long read(int index, char* into, std::size_t length, std::int64_t offset) override {
        const std::string& file = files[path(table->at(index))];
        const auto at = std::min(file.size(), static_cast<std::size_t>(offset));
        const std::size_t count = std::min(length, file.size() - at);
        file.copy(into, count, at);
        return static_cast<long>(count);
    }
    void begin(const TransferRow&) override {}
    void adopt(const TransferRow&) override {}
    zelk::StagedFile staged(const TransferRow& row) override {
        zelk::StagedFile found;
        found.folder = true;
        if (const auto record = records.find(key(row.origin, row.file)); record != records.end()) {
            found.record = record->second;
        }
        const std::string staging = key(row.origin, zelk::stagingName(row.file));
        if (files.count(staging) != 0) {
            found.staging = zelk::FileIdentity{inodes[staging], 0};
            found.size = static_cast<std::int64_t>(files[staging].size());
        }
        return found;
    }
    void removeRecord(const TransferRow& row) override { records.erase(key(row.origin, row.file)); }
    bool writeback(int, std::int64_t, std::int64_t) override { return true; }
    bool syncThenRecord(int, const StagingState& record, std::int64_t claimed,
                        std::uint64_t epoch) override {
        syncs.push_back(Sync{record, claimed, epoch});
        return true;
    }
    bool writeRecord(const StagingState& record, std::string&) override {
        records[key(record.origin, record.file)] = record;
        return true;
    }
    // Publishing completes at once, or (`later`) when the test says so.
    bool later = false;
    std::vector<TransferRow> publishing;
    Publish publish(int index, zelk::WriteFailure&) override {
        if (later) {
            publishing.push_back(table->at(index));
            return Publish::Pending;
        }
        rename(table->at(index));
        return Publish::Done;
    }
    void rename(const TransferRow& row) {
        if (row.staged) {
            const std::string from = path(row);
            const std::string to = key(row.origin, row.file);
            files[to] = files[from];
            inodes[to] = inodes[from];
            files.erase(from);
        }
        records.erase(key(row.origin, row.file));
    }
    std::optional<zelk::KeptFile> kept(const std::string& origin,
                                       const std::string& file) override {
        const auto found = inodes.find(key(origin, file));
        if (found == inodes.end() || files.count(found->first) == 0) {
            return std::nullopt;
        }
        return zelk::KeptFile{found->second, 1};
    }
    void saveVerified(const zelk::VerifiedList&) override { ++saves; }
};

std::string digestOf(std::string_view bytes) {
    ext::RunningDigest digest;
    digest.feed(0, bytes);
    const ext::Digest sum = digest.finish();
    return std::string(reinterpret_cast<const char*>(sum.data()), sum.size());
}

// An answer as a script reads it: "H <position> <held>" for a header's, "A <cumulative>
// [ranges]", "V <size>", "M", "U" for extended ones, "-" for none.
std::string said(std::string_view answer) {
    if (answer.empty()) {
        return "-";
    }
    if (answer[0] == 'P') {
        const auto accept = ext::findAccept(answer);
        const auto grant = ext::findGrant(answer);
        return "H " + std::to_string(zelk::readAck(answer).value_or(-2) + 1) +
               (accept ? " " + std::to_string(accept->cumulative) : "") +
               (grant ? " G" + std::to_string(*grant) : "");
    }
    const auto frame = ext::decode(answer);
    if (!frame) {
        return "?";
    }
    switch (frame->kind) {
    case ext::Kind::Ack: {
        std::string text = "A " + std::to_string(frame->value);
        for (const ext::Range& range : ext::ackRanges(*frame).value_or(std::vector<ext::Range>{})) {
            text += " [" + std::to_string(range.start) + "," + std::to_string(range.end) + ")";
        }
        return text;
    }
    case ext::Kind::Verified:
        return "V " + std::to_string(frame->value);
    case ext::Kind::Mismatch:
        return "M";
    case ext::Kind::Unknown:
        return "U";
    default:
        return "?";
    }
}

enum class Do {
    Offer,   // an offered header: `id`, `size`
    Data,    // bytes [from, to) of kFile under `id`; `bad`: and one byte more
    Finish,  // the digest of kFile (or `bad` bytes) under `id`
    Batch,   // datagrams from now on wait for the batch's end
    End,     // the batch ends: its owed Acks are said
    Fail,    // writes fail
    Disturb, // the staging file is taken away
    Restart, // the server starts again: memory lost, disk kept
    Plain,   // a plain header for `file`
    Limit,   // the transfers an origin may have at once: `from`
    Wait,    // `from` ms pass
    Later,   // verified files are made durable only when a Publish step says
    Publish, // the oldest file asked is durable under its name (`bad`: it could not be made so);
             // "none" when none was asked
};

struct Step {
    Do what;
    std::string says; // the answers, joined by " | "
    std::uint64_t id = 7;
    std::int64_t from = 0;
    std::int64_t to = 0;
    bool bad = false;
    std::string file = "f";
    int several = 0; // the transfers at once the header asks for; 0: it does not ask
};

Step offer(std::string says, std::uint64_t id = 7) {
    return Step{Do::Offer, std::move(says), id};
}
Step data(std::int64_t from, std::int64_t to, std::string says, std::uint64_t id = 7) {
    return Step{Do::Data, std::move(says), id, from, to};
}
Step finish(std::string says, bool bad = false, std::uint64_t id = 7) {
    return Step{Do::Finish, std::move(says), id, 0, 0, bad};
}
Step just(Do what, std::string says = "-") {
    return Step{what, std::move(says)};
}
// An offer for `file` from a client that runs up to 8 transfers at once, or none (an older one).
Step many(std::string says, std::uint64_t id, std::string file, int several = 8) {
    return Step{Do::Offer, std::move(says), id, 0, 0, false, std::move(file), several};
}
Step plainHeader(std::string says, std::string file) {
    return Step{Do::Plain, std::move(says), 0, 0, 0, false, std::move(file), 0};
}
Step limit(int transfers) {
    return Step{Do::Limit, "-", 0, transfers};
}
Step published(std::string says, bool bad = false) {
    return Step{Do::Publish, std::move(says), 0, 0, 0, bad};
}
Step wait(std::int64_t ms) {
    return Step{Do::Wait, "-", 0, ms};
}

struct Rig {
    MemDisk disk;
    std::unique_ptr<zelk::PlainReceiver> plain;
    std::unique_ptr<ExtendedReceiver> core;
    zelk::Instant now{1'700'000'000'000, 5'000};
    bool inBatch = false;
    std::uint64_t peer = 0;
    std::vector<ExtDatagramReply> replies;

    Rig() { restart(); }
    void restart() {
        plain = std::make_unique<zelk::PlainReceiver>();
        core = std::make_unique<ExtendedReceiver>(*plain, disk);
        disk.table = &plain->table();
    }

    zelk::ExtHeaderReply header(const std::string& payload, const std::string& size,
                                const std::string& file = "f") {
        const ExtHeaderIn in{kA, file, size, payload, "10.0.0.1", 4000, -1, now};
        return core->header(in);
    }
    std::string offered(std::uint64_t id, const std::string& file = "f", int several = 0) {
        const auto size = static_cast<std::int64_t>(kFile.size());
        return "BEG;" + file + ";" + std::to_string(size) + ";" + ext::offerField({id, size}) +
               (several > 0 ? ";" + ext::multiField(several) : "") + ";END";
    }
    std::string datagram(std::string_view bytes) {
        now.steadyMs += 1;
        now.wallMs += 1;
        replies.push_back(core->datagram(bytes, zelk::ExtDatagramIn{++peer, inBatch, now}));
        return answers(replies.back().answers);
    }
    std::string publish(bool fails) {
        if (disk.publishing.empty()) {
            return "none";
        }
        const TransferRow row = disk.publishing.front();
        disk.publishing.erase(disk.publishing.begin());
        if (!fails) {
            disk.rename(row);
        }
        now.steadyMs += 1;
        now.wallMs += 1;
        replies.push_back(core->published({row.transfer, row.origin}, !fails,
                                          zelk::WriteFailure{"cannot sync"},
                                          zelk::ExtDatagramIn{++peer, false, now}));
        return answers(replies.back().answers);
    }
    static std::string answers(const std::vector<zelk::ExtAnswer>& list) {
        std::string text;
        for (const zelk::ExtAnswer& answer : list) {
            text += (text.empty() ? "" : " | ") + said(answer.bytes);
        }
        return text.empty() ? "-" : text;
    }

    std::string run(const Step& step) {
        std::string bytes;
        switch (step.what) {
        case Do::Offer:
            return said(header(offered(step.id, step.file, step.several),
                               std::to_string(kFile.size()), step.file)
                            .answer);
        case Do::Plain:
            return said(header("BEG;" + step.file + ";30;END", "30", step.file).answer);
        case Do::Limit: {
            zelk::PlainReceiver::Settings settings = plain->settings();
            settings.transfersPerOrigin = static_cast<int>(step.from);
            plain->setSettings(settings);
            return "-";
        }
        case Do::Wait:
            now.wallMs += step.from;
            now.steadyMs += step.from;
            return "-";
        case Do::Data:
            ext::encode(ext::Kind::Data, step.id, step.from,
                        kFile.substr(static_cast<std::size_t>(step.from),
                                     static_cast<std::size_t>(step.to - step.from)) +
                            (step.bad ? "!" : ""),
                        bytes);
            return datagram(bytes);
        case Do::Finish:
            ext::encode(ext::Kind::Finish, step.id, static_cast<std::int64_t>(kFile.size()),
                        digestOf(step.bad ? "not the file" : kFile), bytes);
            return datagram(bytes);
        case Do::Batch:
            inBatch = true;
            return "-";
        case Do::End:
            inBatch = false;
            return answers(core->batchEnd());
        case Do::Fail:
            disk.failWrites = true;
            return "-";
        case Do::Disturb:
            disk.disturbed = true;
            return "-";
        case Do::Restart:
            disk.publishing.clear(); // the worker died with the server
            restart();
            return "-";
        case Do::Later:
            disk.later = true;
            return "-";
        case Do::Publish:
            return publish(step.bad);
        }
        return "?";
    }
};

struct Script {
    const char* what;
    std::vector<Step> steps;
    std::string kept; // the file under its name at the end; empty: none
};

} // namespace

TEST(ExtendedReceiver, Scripts) {
    const std::vector<Script> scripts = {
        {"pieces land at their offsets, a copy is only answered, the sender's digest ends it",
         {offer("H 1 0"), data(10, 20, "A 0 [10,20)"), data(0, 10, "A 20"), data(0, 10, "A 20"),
          data(20, 30, "A 30"), finish("V 30"), finish("V 30"), offer("H 31 30")},
         kFile},
        {"a digest that differs discards the copy; the file sent again is verified",
         {offer("H 1 0"), data(0, 30, "A 30"), finish("M", true), finish("A 0"),
          data(0, 30, "A 30"), finish("V 30")},
         kFile},
        {"an identity no row holds is unknown; a piece past the size is dropped unanswered",
         {data(0, 10, "U", 9), finish("U", false, 9), offer("H 1 0"),
          Step{Do::Data, "-", 7, 25, 30, true}, data(0, 10, "A 10")},
         ""},
        {"a write that fails is not answered; the transfer goes on once the disk takes it",
         {offer("H 1 0"), just(Do::Fail), data(0, 10, "-")},
         ""},
        {"a staging file taken away starts the transfer again: the sender hears it is unknown",
         {offer("H 1 0"), data(0, 10, "A 10"), just(Do::Disturb), data(10, 20, "U"),
          data(10, 20, "U")},
         ""},
        {"Acks owed within a batch are said once, after it, with all the others said",
         {offer("H 1 0"), just(Do::Batch), data(0, 10, "-"), data(20, 30, "-"),
          just(Do::End, "A 10 [20,30)"), data(10, 20, "A 30"), finish("V 30")},
         kFile},
        {"a restart forgets the transfer; its offer again starts it from nothing without a record",
         {offer("H 1 0"), data(0, 10, "A 10"), just(Do::Restart), data(10, 20, "U"),
          offer("H 1 0", 8), data(0, 30, "A 30", 8), finish("V 30", false, 8)},
         kFile},
        {"a verdict waits for the file under its name: a finish meanwhile asks no second "
         "publication, a piece is only answered, a header for the file waits",
         {just(Do::Later), offer("H 1 0"), data(0, 30, "A 30"), finish("-"), finish("-"),
          data(0, 10, "A 30"), offer("-"), published("V 30"), published("none"), finish("V 30"),
          offer("H 31 30")},
         kFile},
        {"a file that could not be made durable has no verdict: the next finish publishes it",
         {just(Do::Later), offer("H 1 0"), data(0, 30, "A 30"), finish("-"), published("-", true),
          finish("-"), published("V 30"), published("none")},
         kFile},
        {"a restart before the file had its name: the file sent again takes it once",
         {just(Do::Later), offer("H 1 0"), data(0, 30, "A 30"), finish("-"), just(Do::Restart),
          finish("U"), offer("H 1 0", 8), data(0, 30, "A 30", 8), finish("-", false, 8),
          published("V 30"), published("none")},
         kFile},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.what);
        Rig rig;
        for (std::size_t i = 0; i < script.steps.size(); ++i) {
            EXPECT_EQ(rig.run(script.steps[i]), script.steps[i].says) << "step " << i;
        }
        const auto kept = rig.disk.files.find(key(kA, "f"));
        EXPECT_EQ(kept == rig.disk.files.end() ? "" : kept->second, script.kept);
    }
}

// A client that asked for several transfers at once runs them side by side in its origin's rows:
// each has its own staging file, ranges, digest and answers, and is renamed once its own digest
// holds. A client that did not ask keeps the one row per origin it always had.
TEST(ExtendedReceiver, SeveralTransfersOfOneOriginGoOnSideBySide) {
    struct Many {
        const char* what;
        std::vector<Step> steps;
        std::vector<std::string> kept; // files whole under their names at the end; no other
        int rows = 0;                  // the origin's rows at the end
    };
    const std::vector<Many> scripts = {
        {"two transfers interleave, pieces out of order; the later one is verified first",
         {many("H 1 0 G8", 7, "a"), many("H 1 0 G8", 8, "b"), data(10, 30, "A 0 [10,30)", 7),
          data(0, 30, "A 30", 8), many("H 1 0 G8", 9, "c"), finish("V 30", false, 8),
          data(0, 10, "A 30", 7), data(0, 30, "A 30", 9), finish("V 30", false, 7)},
         {"a", "b"},
         1},
        {"a digest that differs discards one copy; the other goes on, and each ends verified",
         {many("H 1 0 G8", 7, "a"), many("H 1 0 G8", 8, "b"), data(0, 30, "A 30", 7),
          data(0, 15, "A 15", 8), finish("M", true, 7), data(15, 30, "A 30", 8),
          finish("A 0", false, 7), finish("V 30", false, 8), data(0, 30, "A 30", 7),
          finish("V 30", false, 7)},
         {"a", "b"},
         0},
        {"Acks owed within a batch are said per transfer, after it",
         {many("H 1 0 G8", 7, "a"), many("H 1 0 G8", 8, "b"), just(Do::Batch), data(0, 10, "-", 7),
          data(20, 30, "-", 8), data(10, 20, "-", 7), just(Do::End, "A 20 | A 0 [20,30)")},
         {},
         2},
        {"each header again resumes its own transfer; a new identity for a file carries it on",
         {many("H 1 0 G8", 7, "a"), many("H 1 0 G8", 8, "b"), data(0, 10, "A 10", 7),
          data(0, 20, "A 20", 8), many("H 11 10 G8", 7, "a"), many("H 21 20 G8", 11, "b"),
          data(20, 30, "U", 8), data(20, 30, "A 30", 11), finish("V 30", false, 11)},
         {"b"},
         1},
        {"beyond the origin's limit an offer is dropped unanswered, until one of its files ends",
         {limit(2), many("H 1 0 G2", 7, "a"), many("H 1 0 G2", 8, "b"), many("-", 9, "c"),
          data(0, 30, "A 30", 7), finish("V 30", false, 7), many("H 1 0 G2", 9, "c"),
          data(0, 10, "A 10", 8)},
         {"a"},
         2},
        {"at the limit, a transfer its client left for 30 s gives way; one under way never does",
         {limit(2), many("H 1 0 G2", 7, "a"), many("H 1 0 G2", 8, "b"), wait(20000),
          data(0, 10, "A 10", 8), wait(10000), many("H 1 0 G2", 9, "c"), data(0, 10, "U", 7),
          many("-", 10, "d"), data(10, 20, "A 20", 8)},
         {},
         2},
        {"a client that did not ask takes the origin's row over as before: the others end",
         {many("H 1 0 G8", 7, "a"), many("H 1 0 G8", 8, "b"), data(0, 10, "A 10", 7),
          many("H 1 0", 9, "c", 0), data(10, 20, "U", 7), data(0, 10, "U", 8),
          data(0, 30, "A 30", 9), finish("V 30", false, 9)},
         {"c"},
         0},
        {"an older client's header for one of the files keeps that one and ends the others",
         {many("H 1 0 G8", 7, "a"), many("H 1 0 G8", 8, "b"), data(0, 10, "A 10", 8),
          many("H 11 10", 9, "b", 0), data(0, 10, "U", 7), data(10, 30, "A 30", 9),
          finish("V 30", false, 9)},
         {"b"},
         0},
        {"a plain header for another file ends the origin's transfers, as it ends its one row",
         {many("H 1 0 G8", 7, "a"), many("H 1 0 G8", 8, "b"), plainHeader("H 1", "d"),
          data(0, 10, "U", 7), data(0, 10, "U", 8)},
         {},
         1},
        {"pieces and a finish before their offer are answered unknown and written nowhere; the "
         "offer then opens the transfer from nothing, and the other goes on untouched",
         {many("H 1 0 G8", 7, "a"), data(0, 10, "A 10", 7), data(0, 10, "U", 8),
          finish("U", false, 8), many("H 1 0 G8", 8, "b"), data(10, 30, "A 30", 7),
          data(0, 30, "A 30", 8), finish("V 30", false, 8), finish("V 30", false, 7)},
         {"a", "b"},
         0},
        {"the first pieces again after an acceptance that holds bytes are only answered",
         {many("H 1 0 G8", 7, "a"), data(0, 20, "A 20", 7), many("H 21 20 G8", 7, "a"),
          data(0, 10, "A 20", 7), data(10, 30, "A 30", 7), finish("V 30", false, 7)},
         {"a"},
         0},
        {"a restart forgets them all; each offered again starts from nothing without a record",
         {many("H 1 0 G8", 7, "a"), many("H 1 0 G8", 8, "b"), data(0, 10, "A 10", 7),
          just(Do::Restart), data(10, 20, "U", 7), many("H 1 0 G8", 8, "b"),
          many("H 1 0 G8", 7, "a"), data(0, 30, "A 30", 7), finish("V 30", false, 7)},
         {"a"},
         1},
    };
    for (const Many& script : scripts) {
        SCOPED_TRACE(script.what);
        Rig rig;
        for (std::size_t i = 0; i < script.steps.size(); ++i) {
            EXPECT_EQ(rig.run(script.steps[i]), script.steps[i].says) << "step " << i;
        }
        for (const std::string name : {"a", "b", "c", "d"}) {
            const bool whole =
                std::find(script.kept.begin(), script.kept.end(), name) != script.kept.end();
            const auto kept = rig.disk.files.find(key(kA, name));
            EXPECT_EQ(kept == rig.disk.files.end() ? "" : kept->second, whole ? kFile : "") << name;
        }
        EXPECT_EQ(rig.plain->table().countOf(kA), script.rows);
    }
}

// Only a header that asks hears of several transfers: any other is answered as it always was.
TEST(ExtendedReceiver, AGrantFollowsOnlyAnAcceptanceOfAHeaderThatAsked) {
    Rig rig;
    const std::string size = std::to_string(kFile.size());
    EXPECT_EQ(rig.header(rig.offered(7, "a"), size, "a").answer,
              "PTE;1;END;ZX1,0000000000000007,0");
    EXPECT_EQ(rig.header(rig.offered(8, "b", 2000), size, "b").answer,
              "PTE;1;END;ZX1,0000000000000008,0") // not a number a peer may ask: not asked
        << "the row of a went: one file at a time";
    const auto asked = rig.header(rig.offered(9, "c", 3), size, "c");
    EXPECT_EQ(asked.answer, "PTE;1;END;ZX1,0000000000000009,0;ZXM,3");
    EXPECT_EQ(asked.granted, 3);
    EXPECT_EQ(rig.header(rig.offered(10, "d", 500), size, "d").answer,
              "PTE;1;END;ZX1,000000000000000a,0;ZXM,160");
    EXPECT_EQ(rig.header("BEG;e;30;ZXM,4;END", size, "e").answer, "PTE;1;END")
        << "without an offer there is nothing to grant";
    const auto origins = rig.plain->table().origins();
    ASSERT_EQ(origins.size(), 1U);
    EXPECT_EQ(origins.front().transfers, 1) << "the plain header took the origin's row over";
}

// Each transfer's record claims its own synced bytes, and a restarted server takes each up from
// its own record.
TEST(ExtendedReceiver, ARestartResumesEachTransferOfAnOriginFromItsOwnRecord) {
    Rig rig;
    const std::int64_t size = ExtendedReceiver::kRecordStepBytes + 200000;
    const std::string file(static_cast<std::size_t>(size), 'z');
    const auto payload = [size](std::uint64_t id, const std::string& name) {
        return "BEG;" + name + ";" + std::to_string(size) + ";" + ext::offerField({id, size}) +
               ";" + ext::multiField(4) + ";END";
    };
    const std::string sizeText = std::to_string(size);
    ASSERT_EQ(said(rig.header(payload(5, "a"), sizeText, "a").answer), "H 1 0 G4");
    ASSERT_EQ(said(rig.header(payload(6, "b"), sizeText, "b").answer), "H 1 0 G4");
    const std::int64_t step = 60000;
    std::string bytes;
    for (std::int64_t at = 0; at < ExtendedReceiver::kRecordStepBytes + 2 * step; at += step) {
        for (std::uint64_t id : {5U, 6U}) {
            if (id == 6 && at >= ExtendedReceiver::kRecordStepBytes - step) {
                continue; // b stops short of a record
            }
            ext::encode(ext::Kind::Data, id, at, std::string_view(file).substr(at, step), bytes);
            rig.datagram(bytes);
        }
    }
    ASSERT_EQ(rig.disk.syncs.size(), 1U);
    const MemDisk::Sync sync = rig.disk.syncs.front();
    EXPECT_EQ(sync.record.file, "a");
    EXPECT_EQ(rig.core->recordSynced(sync.record, sync.claimed, sync.epoch, true), std::nullopt);
    ASSERT_EQ(rig.disk.records.count(key(kA, "a")), 1U);

    rig.restart();
    EXPECT_EQ(said(rig.header(payload(16, "b"), sizeText, "b").answer), "H 1 0 G4");
    EXPECT_EQ(said(rig.header(payload(15, "a"), sizeText, "a").answer),
              "H " + std::to_string(sync.claimed + 1) + " " + std::to_string(sync.claimed) + " G4");
    for (const auto& [id, from] : {std::pair<std::uint64_t, std::int64_t>{15, sync.claimed},
                                   std::pair<std::uint64_t, std::int64_t>{16, 0}}) {
        std::string last;
        for (std::int64_t at = from; at < size; at += step) {
            ext::encode(ext::Kind::Data, id, at, std::string_view(file).substr(at, step), bytes);
            last = rig.datagram(bytes);
        }
        EXPECT_EQ(last, "A " + sizeText);
    }
    for (std::uint64_t id : {16U, 15U}) {
        ext::encode(ext::Kind::Finish, id, size, digestOf(file), bytes);
        EXPECT_EQ(rig.datagram(bytes), "V " + sizeText);
    }
    EXPECT_EQ(rig.disk.files[key(kA, "a")], file);
    EXPECT_EQ(rig.disk.files[key(kA, "b")], file);
}

// The record beside a staging file claims only what a sync made safe, and a restarted server
// takes up exactly that: the rest is sent again, and the digest covers the bytes read back.
TEST(ExtendedReceiver, ARecordClaimsOnlyWhatWasSyncedAndARestartResumesFromIt) {
    Rig rig;
    const std::int64_t size = ExtendedReceiver::kRecordStepBytes + 36000;
    std::string file(static_cast<std::size_t>(size), 'z');
    file[7] = 'q';
    const std::string payload =
        "BEG;f;" + std::to_string(size) + ";" + ext::offerField({5, size}) + ";END";
    ASSERT_EQ(said(rig.header(payload, std::to_string(size)).answer), "H 1 0");
    const std::int64_t step = 60000;
    std::string bytes;
    for (std::int64_t at = 0; at < ExtendedReceiver::kRecordStepBytes; at += step) {
        ext::encode(ext::Kind::Data, 5, at, std::string_view(file).substr(at, step), bytes);
        rig.datagram(bytes);
    }
    ASSERT_EQ(rig.disk.syncs.size(), 1U);
    const MemDisk::Sync sync = rig.disk.syncs.front();
    EXPECT_TRUE(rig.disk.records.empty()); // nothing is claimed before the sync is done
    EXPECT_EQ(rig.core->recordSynced(sync.record, sync.claimed, sync.epoch + 1, true),
              std::nullopt); // a sync of bytes discarded since claims nothing
    EXPECT_TRUE(rig.disk.records.empty());
    EXPECT_EQ(rig.core->recordSynced(sync.record, sync.claimed, sync.epoch, false),
              "cannot sync .f.zx-part");
    EXPECT_EQ(rig.core->recordSynced(sync.record, sync.claimed, sync.epoch, true), std::nullopt);
    ASSERT_EQ(rig.disk.records.size(), 1U);

    rig.restart();
    const auto resumed =
        rig.header("BEG;f;" + std::to_string(size) + ";" + ext::offerField({6, size}) + ";END",
                   std::to_string(size));
    EXPECT_EQ(said(resumed.answer),
              "H " + std::to_string(sync.claimed + 1) + " " + std::to_string(sync.claimed));
    ASSERT_TRUE(resumed.resumed.has_value());
    ext::encode(ext::Kind::Data, 6, sync.claimed, std::string_view(file).substr(sync.claimed),
                bytes);
    EXPECT_EQ(rig.datagram(bytes), "A " + std::to_string(size));
    ext::encode(ext::Kind::Finish, 6, size, digestOf(file), bytes);
    EXPECT_EQ(rig.datagram(bytes), "V " + std::to_string(size));
    EXPECT_EQ(rig.disk.files[key(kA, "f")], file);

    // A record of another size is of another file: it is dropped, and nothing is taken up.
    rig.disk.records[key(kA, "f")] = StagingState{6, kA, "f", size - 1, {}, {}, {}};
    rig.disk.make(key(kA, zelk::stagingName("f")), "zz");
    EXPECT_EQ(said(rig.header(payload, std::to_string(size)).answer), "H 1 0");
    EXPECT_TRUE(rig.disk.records.empty());
}

// The list of verified transfers is written at once, then at most once a second.
TEST(ExtendedReceiver, TheVerifiedListIsSavedAtMostOnceASecond) {
    Rig rig;
    for (std::uint64_t id : {7U, 8U}) {
        rig.run(offer("H 1 0", id));
        rig.run(data(0, 30, "A 30", id));
        rig.run(finish("V 30", false, id));
    }
    EXPECT_EQ(rig.disk.saves, 1);
    EXPECT_GT(rig.replies.back().saveInMs, 0);
    EXPECT_LE(rig.replies.back().saveInMs, ExtendedReceiver::kVerifiedSaveMs);
    rig.now.steadyMs += ExtendedReceiver::kVerifiedSaveMs;
    rig.core->saveVerified(rig.now);
    EXPECT_EQ(rig.disk.saves, 2);
}

namespace {

// A keyed origin's client, as far as the handshake goes.
struct KeyedClient {
    ext::Key key = ext::newKey();
    ext::Nonce client = ext::newNonce();
    std::int64_t size = static_cast<std::int64_t>(kFile.size());
    std::uint64_t id = 7;
    ext::Key secret = ext::newKey();
    ext::Key ephemeral = ext::ephemeralPublic(secret); // all zeros for a forged one
    ext::Key serverEphemeral{};                        // from the challenge
    std::string file = "f";
    int several = 0; // the transfers at once it asks for; 0: none

    std::string payload(const std::optional<ext::Hello>& hello) const {
        std::string text =
            "BEG;" + file + ";" + std::to_string(size) + ";" + ext::offerField({id, size});
        if (hello) {
            text += ";" + ext::helloField(*hello);
        }
        if (several > 0) {
            text += ";" + ext::multiField(several);
        }
        return text + ";END";
    }
    ext::Transcript transcript(const ext::Nonce& server) const {
        return ext::Transcript{
            kA, id, size, file, client, server, "C", ext::aeadFor("C"), ephemeral, serverEphemeral};
    }
    ext::Hello hello(const std::optional<ext::Nonce>& server) const {
        ext::Hello hello{ext::keyIdOf(key), client, "C", server, {}, ephemeral};
        if (server) {
            hello.proof = ext::clientProof(key, transcript(*server));
        }
        return hello;
    }
    // A whole handshake with the rig's server: the keys both sides then hold; nothing, and a
    // failure, when it is not challenged or not proven.
    std::optional<ext::SessionKeys> prove(Rig& rig, const std::string& sizeText) {
        const auto challenge =
            ext::findChallenge(rig.header(payload(hello(std::nullopt)), sizeText, file).answer);
        if (!challenge) {
            ADD_FAILURE() << "no challenge";
            return std::nullopt;
        }
        serverEphemeral = challenge->ephemeral;
        if (!rig.header(payload(hello(challenge->server)), sizeText, file).proven) {
            ADD_FAILURE() << "the proof was not taken";
            return std::nullopt;
        }
        return ext::sessionKeys(key, transcript(challenge->server), secret, challenge->ephemeral);
    }
};

} // namespace

TEST(ExtendedReceiver, AKeyedOriginIsHeardOnlyOnceItsKeyIsProvenAndThenSealed) {
    ASSERT_TRUE(ext::cryptoReady());
    KeyedClient client;
    const ext::Key secret = ext::newKey();
    Rig rig;
    rig.core->loadKeys({ext::KeyLine{client.key, kA}}, secret);
    const std::string size = std::to_string(client.size);

    EXPECT_EQ(rig.header(client.payload(std::nullopt), size).refused,
              "header without the handshake, naming an origin with a key");
    ASSERT_TRUE(rig.core->admit(kA, false, false).has_value());
    EXPECT_TRUE(rig.core->admit(kA, false, false)->authentication);

    const auto challenged = rig.header(client.payload(client.hello(std::nullopt)), size);
    ASSERT_TRUE(challenged.challenged);
    const auto challenge = ext::findChallenge(challenged.answer);
    ASSERT_TRUE(challenge.has_value());
    client.serverEphemeral = challenge->ephemeral;
    // The challenge comes from the secret handed in: a run replayed mints the same.
    Rig again;
    again.core->loadKeys({ext::KeyLine{client.key, kA}}, secret);
    EXPECT_EQ(again.header(client.payload(client.hello(std::nullopt)), size).answer,
              challenged.answer);

    ext::Hello wrong = client.hello(challenge->server);
    wrong.proof[0] ^= 1;
    EXPECT_EQ(rig.header(client.payload(wrong), size).refused,
              "header whose proof of the key is wrong");
    // A server started again under another secret cannot find the key its challenge gave: the
    // proof gets a new challenge, never silence.
    Rig restarted;
    restarted.core->loadKeys({ext::KeyLine{client.key, kA}}, ext::newKey());
    EXPECT_TRUE(restarted.header(client.payload(client.hello(challenge->server)), size).challenged);

    // A key holder whose ephemeral key leaves no shared secret: the session would rest on the
    // long-term key alone.
    KeyedClient lowOrder = client;
    lowOrder.client = ext::newNonce();
    lowOrder.ephemeral = {};
    const auto challengedToo = rig.header(lowOrder.payload(lowOrder.hello(std::nullopt)), size);
    const auto second = ext::findChallenge(challengedToo.answer);
    ASSERT_TRUE(second.has_value());
    lowOrder.serverEphemeral = second->ephemeral;
    EXPECT_EQ(rig.header(lowOrder.payload(lowOrder.hello(second->server)), size).refused,
              "header whose ephemeral key leaves no shared secret");

    const auto proven = rig.header(client.payload(client.hello(challenge->server)), size);
    EXPECT_TRUE(proven.proven);
    EXPECT_EQ(said(proven.answer), "H 1 0");
    EXPECT_TRUE(ext::findProvenAccept(proven.answer).has_value());
    const auto repeated = rig.header(client.payload(client.hello(challenge->server)), size);
    EXPECT_TRUE(repeated.again);
    EXPECT_EQ(repeated.answer, proven.answer);

    std::string bytes;
    ext::encode(ext::Kind::Data, 7, 0, kFile, bytes);
    EXPECT_EQ(rig.datagram(bytes), "-");
    EXPECT_EQ(rig.replies.back().refused,
              "extended datagram in clear for an authenticated transfer");

    const auto keys = ext::sessionKeys(client.key, client.transcript(challenge->server),
                                       client.secret, challenge->ephemeral);
    ASSERT_TRUE(keys.has_value());
    ext::seal(ext::Kind::Data, 7, 0, 1, kFile, ext::EpochKeys(keys->clientToServer).at(1),
              ext::aeadFor("C"), bytes);
    rig.datagram(bytes);
    ASSERT_EQ(rig.replies.back().answers.size(), 1U);
    std::string opened;
    const auto ack =
        ext::openSealed(rig.replies.back().answers.front().bytes,
                        ext::EpochKeys(keys->serverToClient).at(1), ext::aeadFor("C"), opened);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->value, client.size);
    rig.datagram(bytes); // the same sealed datagram again: a copy or a replay
    EXPECT_EQ(rig.replies.back().drop, "sealed datagram seen already (a copy or a replay)");
}

// Past the number of sessions kept, idle ones go: never the one a handshake has just opened. Each
// transfer here is verified, so that its session is kept as long as the server remembers it.
TEST(ExtendedReceiver, AHandshakeBeyondTheSessionsKeptKeepsItsOwnSession) {
    ASSERT_TRUE(ext::cryptoReady());
    KeyedClient client;
    Rig rig;
    rig.core->loadKeys({ext::KeyLine{client.key, kA}}, ext::newKey());
    const std::string size = std::to_string(client.size);
    const auto sealed = [&rig](ext::Kind kind, std::int64_t value, std::string_view body,
                               const ext::SessionKeys& keys, std::uint64_t id) {
        std::string bytes;
        const std::uint64_t sequence = kind == ext::Kind::Data ? 1 : 2;
        ext::seal(kind, id, value, sequence, body, ext::EpochKeys(keys.clientToServer).at(sequence),
                  ext::aeadFor("C"), bytes);
        rig.datagram(bytes);
        std::string opened;
        const auto& answers = rig.replies.back().answers;
        return answers.empty() ? std::nullopt
                               : ext::openSealed(answers.front().bytes,
                                                 ext::EpochKeys(keys.serverToClient).at(1),
                                                 ext::aeadFor("C"), opened);
    };
    for (std::uint64_t id = 1; id <= zelk::KeyedSessions::kSessionsKept + 2; ++id) {
        client.id = id;
        const auto keys = client.prove(rig, size);
        ASSERT_TRUE(keys.has_value());
        const auto ack = sealed(ext::Kind::Data, 0, kFile, *keys, id);
        ASSERT_TRUE(ack.has_value())
            << "transfer " << id << ": " << rig.replies.back().refused << rig.replies.back().drop;
        EXPECT_EQ(ack->value, client.size);
        const auto verified = sealed(ext::Kind::Finish, client.size, digestOf(kFile), *keys, id);
        ASSERT_TRUE(verified.has_value());
        EXPECT_EQ(verified->kind, ext::Kind::Verified);
    }
}

// A keyed origin's client runs two transfers at once: each proves the key in its own handshake,
// the grant follows the proof, and each goes on sealed under its own session to its own V.
TEST(ExtendedReceiver, AKeyedOriginRunsTwoSealedTransfersAtOnce) {
    ASSERT_TRUE(ext::cryptoReady());
    const ext::Key originKey = ext::newKey();
    Rig rig;
    rig.core->loadKeys({ext::KeyLine{originKey, kA}}, ext::newKey());
    std::vector<KeyedClient> clients(2);
    std::vector<ext::SessionKeys> sessions;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        KeyedClient& client = clients[i];
        client.key = originKey;
        client.id = 20 + i;
        client.file = i == 0 ? "a" : "b";
        client.several = 4;
        const std::string size = std::to_string(client.size);
        const auto challenge = ext::findChallenge(
            rig.header(client.payload(client.hello(std::nullopt)), size, client.file).answer);
        ASSERT_TRUE(challenge.has_value());
        client.serverEphemeral = challenge->ephemeral;
        const auto proven =
            rig.header(client.payload(client.hello(challenge->server)), size, client.file);
        ASSERT_TRUE(proven.proven);
        EXPECT_TRUE(ext::findProvenAccept(proven.answer).has_value()) << proven.answer;
        EXPECT_EQ(ext::findGrant(proven.answer), 4) << proven.answer;
        EXPECT_EQ(
            rig.header(client.payload(client.hello(challenge->server)), size, client.file).answer,
            proven.answer)
            << "a proof repeated is answered as it was, grant and all";
        const auto keys = ext::sessionKeys(originKey, client.transcript(challenge->server),
                                           client.secret, challenge->ephemeral);
        ASSERT_TRUE(keys.has_value());
        sessions.push_back(*keys);
    }
    const auto sealed = [&rig, &sessions](std::size_t i, ext::Kind kind, std::int64_t value,
                                          std::string_view body, std::uint64_t sequence) {
        std::string bytes;
        ext::seal(kind, 20 + i, value, sequence, body,
                  ext::EpochKeys(sessions[i].clientToServer).at(sequence), ext::aeadFor("C"),
                  bytes);
        rig.datagram(bytes);
        std::string opened;
        const auto& answers = rig.replies.back().answers;
        const auto answer = answers.empty()
                                ? std::nullopt
                                : ext::openSealed(answers.front().bytes,
                                                  ext::EpochKeys(sessions[i].serverToClient).at(1),
                                                  ext::aeadFor("C"), opened);
        return answer
                   ? std::string(1, static_cast<char>(answer->kind)) + std::to_string(answer->value)
                   : std::string("-");
    };
    EXPECT_EQ(sealed(0, ext::Kind::Data, 0, std::string_view(kFile).substr(0, 10), 1), "A10");
    EXPECT_EQ(sealed(1, ext::Kind::Data, 0, kFile, 1), "A30");
    EXPECT_EQ(sealed(1, ext::Kind::Finish, 30, digestOf(kFile), 2), "V30");
    EXPECT_EQ(sealed(0, ext::Kind::Data, 10, std::string_view(kFile).substr(10), 2), "A30");
    EXPECT_EQ(sealed(0, ext::Kind::Finish, 30, digestOf(kFile), 3), "V30");
    EXPECT_EQ(rig.disk.files[key(kA, "a")], kFile);
    EXPECT_EQ(rig.disk.files[key(kA, "b")], kFile);
}

namespace {

// A later transfer of a keyed client's session: its header names the session and proves it under
// the session's secret.
std::string resumedPayload(const KeyedClient& first, const ext::Key& secret, std::uint64_t id,
                           const std::string& file, const ext::Nonce& nonce) {
    const auto size = static_cast<std::int64_t>(kFile.size());
    const ext::Transcript t = ext::resumedTranscript(kA, id, size, file, nonce, ext::aeadFor("C"));
    return "BEG;" + file + ";" + std::to_string(size) + ";" + ext::offerField({id, size}) + ";" +
           ext::resumeField({first.id, nonce, ext::resumeProof(secret, t, first.id)}) + ";" +
           ext::multiField(4) + ";END";
}

} // namespace

// The session's first transfer proves the key in a handshake; a later one only names the session
// and proves it under its secret: accepted at once, with the key's proof, its datagrams sealed
// under keys of its own. The same offer again is answered again and opens nothing; played again
// once verified, it is answered as verified; a server that lost the secret drops it.
TEST(ExtendedReceiver, ALaterTransferOfAKeyedSessionNeedsNoHandshake) {
    ASSERT_TRUE(ext::cryptoReady());
    KeyedClient first;
    first.several = 4;
    Rig rig;
    const ext::Key mint = ext::newKey();
    rig.core->loadKeys({ext::KeyLine{first.key, kA}}, mint);
    const std::string size = std::to_string(first.size);
    const auto firstKeys = first.prove(rig, size);
    ASSERT_TRUE(firstKeys.has_value());

    const ext::Nonce nonce = ext::newNonce();
    const std::string offer = resumedPayload(first, firstKeys->resume, 30, "g", nonce);
    const std::string forged = resumedPayload(first, ext::newKey(), 30, "g", nonce);
    EXPECT_EQ(rig.header(forged, size, "g").refused, "header whose proof of its session is wrong");
    const auto accepted = rig.header(offer, size, "g");
    ASSERT_TRUE(accepted.proven) << accepted.refused;
    const ext::Transcript t =
        ext::resumedTranscript(kA, 30, first.size, "g", nonce, ext::aeadFor("C"));
    const auto proven = ext::findProvenAccept(accepted.answer);
    ASSERT_TRUE(proven.has_value());
    EXPECT_EQ(proven->proof, ext::acceptProof(first.key, t, 0));
    EXPECT_EQ(ext::findGrant(accepted.answer), 4);

    const ext::SessionKeys keys = ext::resumedKeys(firstKeys->resume, t, first.id);
    const auto sealed = [&rig, &keys](ext::Kind kind, std::int64_t value, std::string_view body,
                                      std::uint64_t sequence) {
        std::string bytes;
        ext::seal(kind, 30, value, sequence, body, ext::EpochKeys(keys.clientToServer).at(sequence),
                  ext::aeadFor("C"), bytes);
        rig.datagram(bytes);
        const auto& answers = rig.replies.back().answers;
        const auto head = answers.empty() ? std::nullopt : ext::sealedHead(answers.front().bytes);
        std::string opened;
        const auto answer =
            head ? ext::openSealed(answers.front().bytes,
                                   ext::EpochKeys(keys.serverToClient).at(head->sequence),
                                   ext::aeadFor("C"), opened)
                 : std::nullopt;
        return answer
                   ? std::string(1, static_cast<char>(answer->kind)) + std::to_string(answer->value)
                   : std::string("-");
    };
    EXPECT_EQ(sealed(ext::Kind::Data, 0, std::string_view(kFile).substr(0, 10), 1), "A10");
    // Its answer lost, the same offer again: answered again; the session goes on as it was, and
    // a datagram it took is not taken again.
    const auto repeated = rig.header(offer, size, "g");
    EXPECT_TRUE(repeated.again);
    ASSERT_TRUE(ext::findProvenAccept(repeated.answer).has_value());
    EXPECT_EQ(ext::findProvenAccept(repeated.answer)->accept.cumulative, 10);
    EXPECT_EQ(sealed(ext::Kind::Data, 0, std::string_view(kFile).substr(0, 10), 1), "-");
    EXPECT_EQ(sealed(ext::Kind::Data, 10, std::string_view(kFile).substr(10), 2), "A30");
    EXPECT_EQ(sealed(ext::Kind::Finish, 30, digestOf(kFile), 3), "V30");
    EXPECT_EQ(rig.disk.files[key(kA, "g")], kFile);
    // Played again once verified: all held, nothing starts again.
    const auto again = rig.header(offer, size, "g");
    EXPECT_TRUE(again.again);
    EXPECT_EQ(ext::findProvenAccept(again.answer)->accept.cumulative, first.size);

    Rig restarted;
    restarted.core->loadKeys({ext::KeyLine{first.key, kA}}, mint);
    EXPECT_EQ(restarted.header(resumedPayload(first, firstKeys->resume, 31, "h", nonce), size, "h")
                  .refused,
              "header of a session this server does not hold");
}

namespace {

// A keyed client of today: its header names ".zx-sealed" of size 1 in clear, and once the keys
// exist, seals `sealed` beside its proof.
struct SealingClient : KeyedClient {
    SealingClient() {
        file = std::string(ext::kSealedName);
        size = ext::kSealedSize;
    }
    std::string payload(std::optional<ext::Hello> hello,
                        const std::optional<ext::SealedName>& sealed) {
        if (hello) {
            hello->sealedNames = true;
        }
        std::string text = KeyedClient::payload(hello);
        if (hello && hello->server && sealed) {
            const auto keys =
                ext::sessionKeys(key, transcript(*hello->server), secret, serverEphemeral);
            text.insert(text.size() - 4, ";" + ext::namesField(keys->names, id, *sealed));
        }
        return text;
    }
};

} // namespace

// A keyed header names its file only sealed under the transfer's keys: the row, the disk and the
// verdict then go by the name and size it sealed. A sealed field changed, missing, or naming what
// no name in clear may name opens nothing; an origin without a key may not send a sealed name.
TEST(ExtendedReceiver, AKeyedHeaderNamesItsFileOnlySealed) {
    ASSERT_TRUE(ext::cryptoReady());
    SealingClient client;
    Rig rig;
    rig.core->loadKeys({ext::KeyLine{client.key, kA}}, ext::newKey());
    const std::string clear(ext::kSealedName);
    const auto challenge = ext::findChallenge(
        rig.header(client.payload(client.hello(std::nullopt), std::nullopt), "1", clear).answer);
    ASSERT_TRUE(challenge.has_value());
    client.serverEphemeral = challenge->ephemeral;
    const auto hello = client.hello(challenge->server);
    const std::int64_t size = static_cast<std::int64_t>(kFile.size());

    KeyedClient clearName = client;
    clearName.file = "rapport.txt";
    clearName.size = static_cast<std::int64_t>(kFile.size());
    ext::Hello sealedHello = clearName.hello(challenge->server);
    sealedHello.sealedNames = true;
    std::string changed = client.payload(hello, ext::SealedName{"rapport.txt", size});
    changed[changed.find(";ZXN,") + 6] ^= 1;
    const struct {
        std::string payload;
        std::string_view refused;
    } refusals[] = {
        {client.payload(hello, ext::SealedName{"../rapport.txt", size}),
         "header whose sealed name is no plain name, or its size none"},
        {client.payload(hello, ext::SealedName{".r.zx-part", size}),
         "header whose sealed name is no plain name, or its size none"},
        {client.payload(hello, ext::SealedName{"a;b", size}),
         "header whose sealed name is no plain name, or its size none"},
        {client.payload(hello, ext::SealedName{"rapport.txt", 0}),
         "header whose sealed name is no plain name, or its size none"},
        {changed, "header whose sealed name does not open under its keys"},
        {client.payload(hello, std::nullopt),
         "header whose sealed name does not open under its keys"},
        {client.KeyedClient::payload(hello), "header whose name is not as its hello says"},
    };
    for (const auto& refused : refusals) {
        EXPECT_EQ(rig.header(refused.payload, "1", clear).refused, refused.refused)
            << refused.payload;
    }
    EXPECT_EQ(
        rig.header(clearName.payload(sealedHello), std::to_string(size), "rapport.txt").refused,
        "header whose name is not as its hello says");
    EXPECT_TRUE(rig.disk.files.empty());

    const std::string proof = client.payload(hello, ext::SealedName{"rapport.txt", size});
    const auto proven = rig.header(proof, "1", clear);
    ASSERT_TRUE(proven.proven) << proven.refused;
    EXPECT_EQ(proven.file, "rapport.txt");
    EXPECT_EQ(proven.size, std::to_string(size));
    const auto keys = ext::sessionKeys(client.key, client.transcript(challenge->server),
                                       client.secret, challenge->ephemeral);
    std::string bytes;
    ext::seal(ext::Kind::Data, client.id, 0, 1, kFile, ext::EpochKeys(keys->clientToServer).at(1),
              ext::aeadFor("C"), bytes);
    rig.datagram(bytes);
    ext::seal(ext::Kind::Finish, client.id, size, 2, digestOf(kFile),
              ext::EpochKeys(keys->clientToServer).at(2), ext::aeadFor("C"), bytes);
    rig.datagram(bytes);
    rig.publish(false);
    EXPECT_EQ(rig.disk.files[key(kA, "rapport.txt")], kFile);
    // Its verdict lost, the proof again: answered as verified at the size it sealed.
    const auto again = rig.header(proof, "1", clear);
    EXPECT_TRUE(again.again);
    ASSERT_TRUE(ext::findProvenAccept(again.answer).has_value()) << again.answer;
    EXPECT_EQ(ext::findProvenAccept(again.answer)->accept.cumulative, size);

    const std::string keyless = "poste8    ";
    const ExtHeaderIn in{keyless,    clear, "1", "BEG;.zx-sealed;1;END",
                         "10.0.0.1", 4000,  -1,  rig.now};
    EXPECT_EQ(rig.core->header(in).refused,
              "header with a sealed name, naming an origin without a key");
}
