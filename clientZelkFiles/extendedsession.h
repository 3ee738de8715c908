#pragma once

// Several extended transfers of one client at once, without socket, timer or clock. Once the
// server granted more than one, the first file's accepted transfer joins a session, and the files
// listed after it are offered while earlier ones are under way, up to the grant and this client's
// own limit. Every transfer keeps its own identity, window of pieces, digest, finish and verdict;
// all of them share one congestion controller and one pacing clock, which hand the pieces out in
// turn, so a large file cannot hold back the small ones behind it. A server that granted a
// session already knows this client: a new transfer's first pieces (and a small file's finish)
// leave right behind its offer instead of a round trip later.

#include "congestion.h"
#include "digest.h"
#include "extcodec.h"
#include "extendedsender.h"
#include "keyedtransfer.h"
#include "sendwindow.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace zelk {

// The outbox's files as the shell reaches them, by name: opened when asked, never read whole.
class ExtFiles {
public:
    virtual ~ExtFiles() = default;
    virtual std::optional<std::int64_t> length(const std::string& name) = 0;
    virtual std::optional<FileStamp> stamp(const std::string& name) = 0;
    // Up to `n` bytes at 0-based `offset` into `into`: the count read, or -1.
    virtual long read(const std::string& name, char* into, std::size_t n, std::int64_t offset) = 0;
};

// One thing the client is to do for the session.
struct SessionAction {
    enum class Kind {
        Pieces,    // read each of `pieces` from file `name`, frame them with framePiece(`transfer`)
        Send,      // send the datagram `text` (a header with its offer, a finish)
        PaceIn,    // wake wakePace() in `value` ms
        TimeoutIn, // wake wakeTimeout() in `value` ms
        TimeoutOff,
        Step,        // call step(`transfer`) once the event loop turned: its digest catches up
        Offered,     // the file `name` was offered (its header went)
        Accepted,    // the server takes `name` and holds `value` of its `size` bytes
        Verified,    // the server holds `name` whole: `value` bytes held at the start, `extra` sent
                     // again, in `elapsedUs`, SHA-256 `text`; delete it if it still has `stamp`
        Lost,        // `name` cannot go on as it was (`text`): it is offered anew later
        Released,    // `name` went unanswered: it goes back to one file at a time
        Progress,    // `value` files under way, `extra` bytes acknowledged in all
        SentAgain,   // the server's copy of `name` did not have its digest
        Silent,      // a timeout of `name` without any answer: the server is silent since now
        Ignored,     // an answer was dropped, for `text`
        KeyUnproven, // an answer to a keyed offer proved no key (`text`)
    };
    Kind kind;
    std::uint64_t transfer = 0;
    std::string name;
    std::int64_t value = 0;
    std::int64_t size = 0;
    std::int64_t extra = 0;
    std::int64_t elapsedUs = 0;
    std::string text;
    std::optional<FileStamp> stamp;
    std::vector<ext::SendWindow::Piece> pieces;
};

class ExtendedSession {
public:
    using Actions = std::vector<SessionAction>;

    struct Settings {
        std::string origin;     // 10 characters, as it travels
        std::int64_t piece = 1; // the body of an extended piece
        double rateCap = 0;     // bytes a second at most; 0: no cap
        int most = 160;         // "transfertsMaxi=": transfers at once, this client's own limit
        int firstFlight = 0;    // pieces of a new transfer that go with its offer; 0: none
    };
    // Enough for a small file whole, few enough that many offers at once leave room in the
    // shared window for the transfers already under way.
    static constexpr int kFirstFlightPieces = 4;
    // Offers of one file unanswered before it goes back to one file at a time.
    static constexpr int kOfferTries = 4;
    static constexpr std::int64_t kOfferWaitUs = 500'000;
    // How often a transfer's file is looked at between the reads of its pieces.
    static constexpr std::int64_t kCheckFileUs = 100'000;
    // A keyed origin's offers without a handshake unanswered before the server is taken to have
    // lost the session's secret (it restarted): the file proves the key in a handshake.
    static constexpr int kResumedTries = 2;
    static constexpr int kSilentTimeouts = ExtendedSender::kSilentTimeouts;
    static constexpr int kSilentFinishes = ExtendedSender::kSilentFinishes;
    static constexpr std::int64_t kLongestFinishWaitUs = ExtendedSender::kLongestFinishWaitUs;
    static constexpr std::int64_t kDigestStepBytes = ExtendedSender::kDigestStepBytes;
    static constexpr std::int64_t kLargestWindowBytes = ExtendedSender::kLargestWindowBytes;
    static constexpr std::int64_t kSmallestWindowPieces = ExtendedSender::kSmallestWindowPieces;

    ExtendedSession(ExtFiles& files, ExtRandom random);
    ~ExtendedSession();
    ExtendedSession(const ExtendedSession&) = delete;
    ExtendedSession& operator=(const ExtendedSession&) = delete;

    void configure(Settings settings) { settings_ = std::move(settings); }
    // This origin's key, when it has one: every offer then carries its own handshake, and every
    // transfer's datagrams go sealed under its own keys.
    void setKey(std::optional<ext::Key> key);
    bool keyed() const { return key_.has_value(); }
    // The first file's transfer, accepted with a grant of `granted`: the session opens with it.
    // `digest` and `startStamp` are those its transfer began with; `sealed`, a keyed origin's
    // keys of it, and the secret the session's later transfers derive theirs from.
    Actions adopt(const std::string& name, std::int64_t size, const ext::Accept& accept,
                  int granted, std::shared_ptr<ext::RunningDigest> digest,
                  std::optional<FileStamp> startStamp, std::int64_t nowUs,
                  std::optional<HandedKeys> sealed = std::nullopt);
    // The outbox's files in order: those not under way are offered while there is room.
    Actions offerFrom(const std::vector<std::string>& names, std::int64_t nowUs);
    // Whether an answer to a header is the acceptance of one of the session's offers.
    bool ownsAnswer(std::string_view bytes) const;
    Actions answer(std::string_view bytes, std::int64_t nowUs);
    Actions datagram(std::string_view bytes, std::int64_t nowUs);
    Actions wakePace(std::int64_t nowUs);
    Actions wakeTimeout(std::int64_t nowUs);
    Actions step(std::uint64_t transfer, std::int64_t nowUs);
    // The piece of `n` bytes at `offset` of `transfer`'s file, read into `frame + bodyAt()`,
    // hashed and framed in place: the datagram's length.
    std::size_t framePiece(std::uint64_t transfer, char* frame, std::int64_t offset, std::size_t n);
    std::size_t bodyAt() const { return keyed() ? ext::kSealedHeadBytes : ext::kHeadBytes; }
    std::size_t datagramOf(std::size_t n) const {
        return n + (keyed() ? ext::kSealedOverhead : ext::kHeadBytes);
    }
    // A piece of `transfer` could not be read.
    Actions unreadable(std::uint64_t transfer);
    // Everything forgotten (the client goes back to one file at a time).
    void clear();
    // The last transfer ended at `nowUs`: the session stays open a while, so that the next files
    // go at once, offered side by side with their first pieces, on what it learnt of the path,
    // rather than the first alone for a round trip and a cold start. Not after a file went back
    // to one at a time, which only an ended session lets it do.
    void idle(std::int64_t nowUs);
    // Idle, and still open for new files at `nowUs`; once it is not, forgotten as by clear().
    bool lingering(std::int64_t nowUs);
    static constexpr std::int64_t kLingerUs = 30'000'000; // well within the server's 120 s

    bool active() const { return !transfers_.empty(); }
    int underWay() const { return static_cast<int>(transfers_.size()); }
    int limit() const { return limit_; }
    bool holds(const std::string& name) const;
    // Whether the action ends its transfer, leaving room for another file.
    static bool ends(const SessionAction& action) {
        return action.kind == SessionAction::Kind::Verified ||
               action.kind == SessionAction::Kind::Lost ||
               action.kind == SessionAction::Kind::Released;
    }

private:
    struct Transfer;
    Actions take();
    SessionAction& add(SessionAction::Kind kind, const Transfer* t = nullptr);
    Transfer* find(std::uint64_t transfer);
    bool offer(const std::string& name, std::int64_t nowUs);
    void sendOffer(Transfer& t, std::int64_t nowUs);
    bool startFirstFlight(Transfer& t);
    void dropFirstFlight(Transfer& t);
    bool flightFull(const Transfer& t) const;
    void finishEarly(Transfer& t);
    void accepted(Transfer& t, std::int64_t cumulative, std::int64_t nowUs);
    void onFrame(Transfer& t, const ext::Frame& frame, std::int64_t nowUs);
    void acknowledged(Transfer& t, const ext::Frame& frame, std::int64_t nowUs);
    void mismatch(Transfer& t);
    void pumpIn(std::int64_t nowUs);
    bool checkFile(Transfer& t);
    bool sendRound(std::int64_t nowUs);
    void sent(Transfer& t, const ext::SendWindow::Piece& piece, std::int64_t nowUs);
    std::int64_t inFlight() const;
    std::int64_t windowBytes() const;
    void finish(Transfer& t, std::int64_t nowUs);
    bool digestReady(Transfer& t);
    void sendFinish(Transfer& t, std::int64_t nowUs);
    std::int64_t dueUs(const Transfer& t) const;
    void armTimeout(std::int64_t nowUs);
    void timedOut(Transfer& t, std::int64_t nowUs);
    void reoffer(Transfer& t, std::int64_t nowUs);
    void done(Transfer& t, std::int64_t nowUs);
    void lost(Transfer& t, std::string why);
    void release(Transfer& t);
    void end(Transfer& t);
    void forgetPath();
    void newWindow(Transfer& t);
    void seedRtt(Transfer& t, std::int64_t nowUs);
    void progress();
    // A keyed origin's offers and sealed datagrams.
    void keyedAnswer(std::string_view bytes, std::int64_t nowUs);
    void provenAccept(std::string_view bytes, const ext::ProvenAccept& proven, std::int64_t nowUs);
    void sealedDatagram(std::string_view bytes, std::int64_t nowUs);
    std::string keyedField(Transfer& t);
    bool earlyKeys(Transfer& t);
    void addFinish(Transfer& t);
    void resumeFailed(Transfer& t);

    ExtFiles& files_;
    ExtRandom random_;
    Settings settings_;
    std::optional<ext::Key> key_;
    SessionSecrets secrets_; // while the session lives
    int limit_ = 1;
    std::optional<ext::Congestion> congestion_; // one for the session, never one per file
    std::map<std::uint64_t, std::unique_ptr<Transfer>> transfers_;
    std::uint64_t turn_ = 0;                    // the transfer whose piece goes next, in turn
    std::set<std::string> released_;            // not offered again in this session
    std::unordered_multiset<std::string> held_; // the names of the transfers not ended
    std::optional<std::pair<std::int64_t, std::int64_t>> pathRtt_; // smoothed, its variation
    bool kept_ = false; // no transfer, but its grant, path and secrets kept
    std::int64_t idleSinceUs_ = -1;
    std::int64_t ackedBytes_ = 0;        // acknowledged in all, for the rate
    std::vector<std::uint64_t> closing_; // transfers ended during one call
    std::string frame_;
    std::string opened_; // a sealed datagram's body, decrypted
    Actions actions_;
};

} // namespace zelk
