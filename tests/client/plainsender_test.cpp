// The plain sender's decisions, without socket, timer or clock: the test plays the client's shell
// (it reads no file, it only knows the file's length) and the time is virtual, in milliseconds.

#include "plainsender.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using zelk::PlainSender;
using zelk::SenderAction;
using Kind = SenderAction::Kind;

constexpr std::int64_t kWaitMs = 100;

// Plays the shell: follows Content, Piece, Finish and Announce as the client does, and writes
// every action down, one word each.
class Drive {
public:
    explicit Drive(std::int64_t size = 2500)
        : sender_(PlainSender::settingsFor(1000, kWaitMs)), size_(size) {}

    void at(std::int64_t ms) { now_ = ms; }
    void later(std::int64_t ms) { now_ += ms; }
    void setKeyed() { sender_.setKeyed(true); }
    void name(std::string name) { name_ = std::move(name); }
    // The file as it is now: another modification time is another content.
    void changeFile() { ++stamp_.mtimeNs; }

    std::string header(bool resetAllowed = true) {
        return follow(sender_.header(name_, stamp(), listed_, resetAllowed, now_));
    }
    // `position`: 1-based, as the server writes it.
    std::string answer(std::int64_t position) { return follow(sender_.answer(position - 1, now_)); }
    std::string notAnAnswer() { return follow(sender_.answer(std::nullopt, now_)); }
    std::string silence(bool othersWaiting = false) {
        return follow(sender_.waitRanOut(now_, false, othersWaiting));
    }
    std::string tick() { return follow(sender_.tick(now_)); }
    // Answers each piece as a sound server does, to the file's end; gives the last answer's
    // actions.
    std::string answerToEnd() {
        std::string log;
        while (!finished_) {
            log = answer(lastEnd_ + 1);
        }
        return log;
    }
    PlainSender& sender() { return sender_; }
    std::int64_t lastEnd() const { return lastEnd_; }
    // The lengths of the pieces sent, in order.
    const std::vector<std::int64_t>& lengths() const { return lengths_; }

private:
    zelk::FileStamp stamp() const {
        zelk::FileStamp now = stamp_;
        now.size = size_;
        return now;
    }
    std::string follow(const PlainSender::Actions& actions) {
        std::string log;
        for (const SenderAction& action : actions) {
            log += word(action) + ' ';
            log += consequence(action);
        }
        return log;
    }
    std::string consequence(const SenderAction& action) {
        switch (action.kind) {
        case Kind::Content:
            return follow(sender_.piece(action.from, size_, now_));
        case Kind::Piece:
            lastEnd_ = action.from + action.size;
            lengths_.push_back(action.size);
            return follow(sender_.pieceSent(action.from, action.size, size_));
        case Kind::Finish: {
            finished_ = true;
            const zelk::TransferMemory memory = sender_.memory(name_);
            sender_.forget(name_);
            return follow(sender_.finished(name_, memory, true, now_));
        }
        case Kind::Announce:
            return header();
        default:
            return {};
        }
    }
    static std::string word(const SenderAction& action) {
        const std::string from = std::to_string(action.from);
        const std::string size = std::to_string(action.size);
        switch (action.kind) {
        case Kind::Header:
            return "header(" + action.name + "," + size + ")";
        case Kind::Reset:
            return "reset(" + action.name + ")";
        case Kind::WaitFor:
            return "wait=" + size;
        case Kind::WaitOn:
            return "wait";
        case Kind::LoopOn:
            return "loop";
        case Kind::StopWaiting:
            return "stop";
        case Kind::Content:
            return "content(" + from + ")";
        case Kind::Piece:
            return "piece(" + from + ")"; // lengths are drawn once the link is suspect
        case Kind::Finish:
            return "finish";
        case Kind::Announce:
            return "announce";
        case Kind::Answered:
            return "holds(" + from + ")";
        case Kind::Ignored:
            return "ignored";
        case Kind::Unasked:
            return "unasked";
        case Kind::Restart:
            return "restart";
        case Kind::Silence:
            return "silence";
        case Kind::MoveOn:
            return "moveon";
        case Kind::SendAgain:
            return "again(" + action.name + ")";
        case Kind::Pause:
            return "pause";
        case Kind::Delete:
            return "delete(" + action.name + ")";
        case Kind::HoldBack:
            return "holdback(" + action.name + ")";
        case Kind::DeleteDue:
            return "due(" + action.name + ")";
        }
        return "?";
    }

    PlainSender sender_;
    std::int64_t size_;
    std::int64_t now_ = 0;
    std::string name_ = "f.bin";
    zelk::FileStamp stamp_{2500, 1, 1, 1, 1};
    zelk::FileStamp listed_ = stamp();
    std::int64_t lastEnd_ = 0;
    std::vector<std::int64_t> lengths_;
    bool finished_ = false;
};

// The actions up to the first piece: after a silence its length, and so its wait, is drawn.
std::string untilPiece(const std::string& log) {
    const std::size_t piece = log.find("piece(");
    return piece == std::string::npos ? log : log.substr(0, log.find(' ', piece) + 1);
}

// The three pieces of a 2500-byte file on a quiet link: no two in a row of one length, the last
// piece waited for as long as any, and the file held back at its last answer.
TEST(PlainSender, AQuietFileGoesInPiecesAndIsHeldBackAtItsLastAnswer) {
    Drive drive;
    std::string log = drive.header();
    log += drive.answer(1);
    for (const std::int64_t position : {1001, 2000, 2501}) {
        log += drive.answer(position);
    }
    EXPECT_EQ(log, "wait=100 wait header(f.bin,2500) "
                   "stop holds(0) content(0) piece(0) wait=100 wait "
                   "stop content(1000) piece(1000) wait=100 wait "
                   "stop content(1999) piece(1999) wait=1000 wait "
                   "stop content(2500) finish holdback(f.bin) wait ");
    EXPECT_EQ(drive.lengths(), (std::vector<std::int64_t>{1000, 999, 501}));
}

// The answer to a header sent again after a silence: the server's position is taken where this
// client's pieces end, and anywhere else the file starts anew.
TEST(PlainSender, AResumeIsTakenOnlyWhereThisClientsPiecesEnd) {
    struct Case {
        const char* what;
        int piecesAnswered; // before the silence, after the first
        std::int64_t position;
        const char* expected;
    };
    const Case cases[] = {
        {"where the unanswered piece ends", 0, 1001, "stop holds(1000) content(1000) piece(1000) "},
        {"at the first byte", 0, 1, "stop holds(0) content(0) piece(0) "},
        {"inside a piece", 0, 501, "stop holds(500) restart "},
        {"beyond what was sent", 0, 2001, "stop holds(2000) restart "},
        {"past the file's end", 0, 2501, "ignored "},
        {"behind an acknowledged end, once", 1, 501, "ignored "},
        {"where the answered piece ends", 1, 1001, "stop holds(1000) content(1000) piece(1000) "},
        {"where the second piece ends", 1, 2000, "stop holds(1999) content(1999) piece(1999) "},
    };
    for (const Case& c : cases) {
        Drive drive;
        drive.header();
        drive.answer(1);
        for (int i = 0; i < c.piecesAnswered; ++i) {
            drive.answer(drive.lastEnd() + 1);
        }
        drive.later(kWaitMs);
        drive.silence();
        drive.header();
        EXPECT_EQ(untilPiece(drive.answer(c.position)), c.expected) << c.what;
    }
}

// A position behind what the server acknowledged answers one header as a late copy would; the
// same position answering the next header too is where the server stands (it lost bytes).
TEST(PlainSender, TheSamePositionBehindAnsweringTwoHeadersIsBelieved) {
    Drive drive;
    drive.header();
    drive.answer(1);
    drive.answer(1001);
    drive.answer(2000);
    drive.silence();
    drive.header();
    EXPECT_EQ(drive.answer(1001), "ignored ");
    drive.silence();
    drive.header();
    EXPECT_EQ(drive.answer(1001), "stop holds(1000) content(1000) piece(1000) wait=100 wait ");
}

// While a piece waits, only the answer where it ends moves the file; copies and late answers
// move nothing, and an answer the piece cannot have led to makes the file start anew.
TEST(PlainSender, CopiesAndLateAnswersOfAPieceChangeNothing) {
    struct Case {
        const char* what;
        bool secondPiece; // the second piece waits, else the first
        std::optional<std::int64_t> position;
        const char* expected;
    };
    const Case cases[] = {
        {"a copy of the answer that brought the piece about", true, 1001, "ignored "},
        {"an answer shorter than the piece", true, 500, "ignored "},
        {"a header's answer, held back", true, 1, "ignored "},
        {"a header's answer while the first piece waits", false, 1, "stop restart "},
        {"the server wrote bytes elsewhere", true, 2200, "stop restart "},
        {"no acknowledgement at all", true, std::nullopt, "unasked "},
        {"the sound answer", true, 2000, "stop content(1999) piece(1999) wait=1000 wait "},
    };
    for (const Case& c : cases) {
        Drive drive;
        drive.header();
        drive.answer(1);
        if (c.secondPiece) {
            drive.answer(1001);
        }
        EXPECT_EQ(c.position ? drive.answer(*c.position) : drive.notAnAnswer(), c.expected)
            << c.what;
    }
}

// After the wait ran out an answer answers nothing, even the one that would have fitted.
TEST(PlainSender, AnAnswerAfterTheWaitRanOutAnswersNothing) {
    Drive drive;
    drive.header();
    drive.answer(1);
    EXPECT_EQ(drive.silence(), "silence ");
    EXPECT_EQ(drive.answer(1001), "unasked ");
    EXPECT_EQ(drive.header(), "wait=100 wait header(f.bin,2500) ");
}

// A restart announces size 0 first, unless a size-0 header may not go (an offer, a keyed origin);
// its answer brings the real header, and the file goes from its first byte. No header goes for a
// whole wait after the restart: the answers to what is still on its way come first, and answer
// nothing.
TEST(PlainSender, AFileStartsAnewWithAHeaderOfSizeZero) {
    for (const bool resetAllowed : {true, false}) {
        Drive drive;
        drive.header();
        drive.answer(1);
        ASSERT_EQ(drive.answer(2200), "stop restart ");
        drive.later(kWaitMs - 1);
        EXPECT_EQ(drive.tick(), "pause ");
        EXPECT_EQ(drive.answer(1001), "unasked ");
        drive.later(1);
        EXPECT_EQ(drive.tick(), "");
        if (!resetAllowed) {
            EXPECT_EQ(drive.header(false), "wait=100 wait header(f.bin,2500) ");
            continue;
        }
        EXPECT_EQ(drive.header(), "wait=100 wait reset(f.bin) ");
        EXPECT_EQ(drive.answer(1), "stop announce wait=100 wait header(f.bin,2500) ");
        EXPECT_EQ(drive.answer(1), "stop holds(0) content(0) piece(0) wait=100 wait ");
    }
}

// A file that changed since its transfer began cannot be resumed: the server holds old bytes.
TEST(PlainSender, AChangedFileIsNotResumed) {
    Drive drive;
    drive.header();
    drive.answer(1);
    drive.silence();
    drive.changeFile();
    drive.header();
    EXPECT_EQ(drive.answer(1001), "stop holds(1000) restart ");
}

// A finished file is held back, on a link that showed strays or not (a late copy of its one header
// may be the first); a first-byte answer nobody asked for sends it again from size 0, unless the
// origin is keyed; otherwise it is deleted once its time is up.
TEST(PlainSender, AFileFinishedOnAStrayLinkIsHeldBackUntilNoStrayCanCome) {
    struct Case {
        const char* what;
        bool keyed;
        bool quietLink; // no stray and one header, until the file finished
        bool strayComes;
        const char* stray;
        const char* tick; // once the time is up
    };
    const Case cases[] = {
        {"a late first-byte answer", false, false, true, "again(f.bin) unasked ", ""},
        {"keyed: no plain header can be at large", true, false, true, "unasked ", "due(f.bin) "},
        {"no stray", false, false, false, "", "due(f.bin) "},
        {"a quiet link, then a late copy of the header", false, true, true, "again(f.bin) unasked ",
         ""},
        {"a quiet link throughout", false, true, false, "", "due(f.bin) "},
    };
    for (const Case& c : cases) {
        Drive drive;
        if (c.keyed) {
            drive.setKeyed();
        }
        drive.header();
        drive.answer(1);
        drive.answer(1001);
        if (!c.quietLink) {
            drive.answer(1001); // a copy: the link copies answers
            drive.silence();    // and the header sent again may be at large
            drive.header();
        }
        drive.answer(2000);
        drive.later(1);
        ASSERT_EQ(drive.answerToEnd(), "stop content(2500) finish holdback(f.bin) wait ") << c.what;
        EXPECT_TRUE(drive.sender().guard().isHeldBack("f.bin"));
        drive.later(10);
        EXPECT_EQ(c.strayComes ? drive.answer(1) : std::string(), c.stray) << c.what;
        drive.at(2100);
        EXPECT_EQ(drive.tick(), c.tick) << c.what;
        EXPECT_FALSE(drive.sender().guard().isHeldBack("f.bin")) << c.what;
        if (c.strayComes && !c.keyed) {
            EXPECT_EQ(drive.header(), "wait=100 wait reset(f.bin) ");
        }
    }
}

// The next file waits while a header of the finished one may be at large on a link that showed
// strays lately; a quiet link, or a file sent with one header, lets it go at once.
TEST(PlainSender, TheNextFileWaitsWhileAHeaderMayBeAtLarge) {
    struct Case {
        const char* what;
        bool stray;      // an answer that fits nothing came
        bool secondHead; // the header went twice
        std::int64_t tickAfterMs;
        bool pause;
    };
    const Case cases[] = {
        {"a stray and a header at large", true, true, 10, true},
        {"the quiet window over", true, true, 1001, false},
        {"no header at large", true, false, 10, false},
        {"no stray", false, true, 10, false},
    };
    for (const Case& c : cases) {
        Drive drive(900);
        drive.header();
        if (c.secondHead) {
            drive.silence();
            drive.header();
        }
        drive.answer(1);
        if (c.stray) {
            drive.answer(500); // shorter than the piece on its way
        }
        drive.answerToEnd();
        drive.later(c.tickAfterMs);
        const std::string tick = drive.tick();
        EXPECT_EQ(tick.find("pause") != std::string::npos, c.pause) << c.what << ": " << tick;
    }
}

// A piece's length is never that of a piece whose answer never came while its copy may still
// arrive, and a silence sends the file behind the others after many stalls.
TEST(PlainSender, AnUnansweredPieceLengthIsAvoidedAndStallsMoveTheFileOn) {
    Drive drive(100000);
    drive.header();
    drive.answer(1);
    std::string log;
    for (int stall = 1; stall <= PlainSender::kStallsBeforeMovingOn; ++stall) {
        log = drive.silence(true);
        drive.header();
        ASSERT_NE(drive.answer(drive.lastEnd() + 1).find("piece("), std::string::npos);
    }
    EXPECT_EQ(log, "silence moveon ");
    const std::vector<std::int64_t>& lengths = drive.lengths();
    ASSERT_EQ(lengths.front(), 1000);
    for (std::size_t i = 1; i < lengths.size(); ++i) {
        EXPECT_EQ(std::count(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(i),
                             lengths[i]),
                  0)
            << "piece " << i << " took the length of a piece that went unanswered";
    }
}

// The last piece of a large file is waited for longer: the server answers it once the file is
// on stable storage.
TEST(PlainSender, TheLastPieceOfALargeFileIsWaitedForLonger) {
    struct Case {
        std::int64_t size;
        std::int64_t waitMs;
    };
    for (const Case c : {Case{2500, 1000}, Case{100'000'000, 3000}, Case{5'000'000'000, 60000}}) {
        PlainSender sender(PlainSender::settingsFor(1000, kWaitMs));
        sender.header("f.bin", zelk::FileStamp{c.size, 1, 1, 1, 1},
                      zelk::FileStamp{c.size, 1, 1, 1, 1}, true, 0);
        const auto sent = sender.pieceSent(c.size - 500, 500, c.size);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent.front().size, c.waitMs) << c.size;
        EXPECT_EQ(sender.pieceSent(0, 500, c.size).front().size, kWaitMs);
    }
}

} // namespace

// A piece the server would take for a header (it begins with "BEG" and ends with "END") is cut
// short until it no longer ends with "END"; every other piece goes whole.
TEST(PlainSender, APieceThatLooksLikeAHeaderIsCutShort) {
    const std::pair<std::string_view, std::size_t> cases[] = {
        {"BEG;x;1;END", 10}, {"BEGENDEND", 8}, {"BEGEND", 5}, {"BEG", 3},     {"BE", 2},
        {"xBEG;END", 8},     {"BEG;xEN", 7},   {"", 0},       {"BEGxEND", 6},
    };
    for (const auto& [piece, length] : cases) {
        EXPECT_EQ(zelk::lengthClearOfHeaderMarks(piece), length) << piece;
    }
}
