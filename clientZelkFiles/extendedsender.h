#pragma once

// The extension's sender without socket, timer or clock: the offer in a header, the choice of the
// plain protocol after offers answered plainly, a keyed origin's handshake, and once the server
// accepts, the file sent as a window of extended datagrams, then checked whole by its digest
// before the server's final answer lets the client delete it. It is told what happened (a header
// is to go, an answer came, a timer ticked) and at what time, in microseconds, and it answers with
// what the client is to do, as values. It works beside the plain sender, whose memory of each
// file's transfer it shares.

#include "congestion.h"
#include "digest.h"
#include "extcodec.h"
#include "openprobe.h"
#include "plainsender.h"
#include "secure.h"
#include "sendwindow.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk {

class KeyedTransfer;

// The first listed file as the shell finds it when the sender asks.
class ExtFile {
public:
    virtual ~ExtFile() = default;
    // Its length now; nothing when it is gone.
    virtual std::optional<std::int64_t> length() = 0;
    virtual std::optional<FileStamp> stamp() = 0;
    // Up to `n` bytes at 0-based `offset` into `into`: the count read, or -1.
    virtual long read(char* into, std::size_t n, std::int64_t offset) = 0;
};

// The chance a run draws: the client takes it from the system, the simulation from its seed.
struct ExtRandom {
    std::function<std::uint64_t()> identity; // a transfer's identity
    std::function<ext::Nonce()> nonce;       // a keyed header's client nonce
    std::function<ext::Key()> ephemeral;     // a keyed handshake's ephemeral secret
};

// A keyed transfer taken on by a session: its keys, and the secret the session's later transfers
// derive theirs from.
struct HandedKeys {
    ext::Session session;
    ext::Key resume{};
};

// One thing the client is to do.
struct ExtAction {
    enum class Kind {
        Pieces,      // read each of `pieces` from the first file, frame it with framePiece(), send
                     // them in order
        Send,        // send the datagram `text`
        HeaderAgain, // send the header `text` (with this client's proof) and wait anew for it
        PaceIn,      // wake wakePace() in `value` ms
        TimeoutIn,   // wake wakeTimeout() in `value` ms
        TimeoutOff,  // no timeout waits
        Step,        // call step(`value`) once the event loop turned: the digest catches up
        StopWaiting, // the plain wait and loop stop: the extension answered
        Accepted,    // the server takes the extension and holds `value` of the file's `size` bytes
        Progress,    // `value` of `size` bytes held from the first; `extra` acknowledged in all
        Verified,    // the server holds the file whole: `value` bytes it held at the start,
                     // `extra` bytes sent again, in `elapsedUs`; the first file is finished
        LateVerdict, // the same, told by a final answer come after the file was announced again
        Lost,        // the first file cannot go on as it was (`text`): its transfer is forgotten
        TooLarge,    // the server is plain and the file larger than a plain header can carry
        Plain,       // the answer to the offer goes on to the plain sender, as a plain answer
        Announce,    // the first file's header goes again now; `value` 1: after silent timeouts
        CannotKeep,  // the server forgot the file's transfer often: the window says so
        Silent,      // a timeout without any answer: the server is silent since now
        SentAgain,   // the server's copy did not have the digest: every byte goes again
        Ignored,     // an answer was dropped, for `text`
        PlainServer, // taken for a plain server after `value` offers answered plainly; `extra` 1:
                     // it was not yet
        KeyProven,   // the server proved the key: the header goes again with this client's proof
        KeyUnproven, // the server does not prove the key (`text`); `value` 1: it did until now
        Granted,     // the server accepts the first file (transfer `extra`, holding `size` of its
                     // bytes) and lets `value` > 1 transfers run at once: a session takes it on
    };
    Kind kind;
    std::int64_t value = 0;
    std::int64_t size = 0;
    std::int64_t extra = 0;
    std::int64_t elapsedUs = 0;
    std::string text;
    std::vector<ext::SendWindow::Piece> pieces;
};

// An answer with a field of the extension after its three plain ones (an acceptance, a
// challenge) answers an offer, never a plain header.
bool answersAnOffer(std::string_view bytes);

class ExtendedSender {
public:
    using Actions = std::vector<ExtAction>;

    struct Settings {
        std::string origin;      // 10 characters, as it travels
        std::int64_t piece = 1;  // the body of an extended piece
        double rateCap = 0;      // bytes a second at most; 0: no cap
        bool extensionOn = true; // "offreExtension="
        int transfers = 1;       // the most at once this client asks for; 1: it does not ask
    };
    // The server answered an offer plainly: no offer for this long.
    static constexpr std::int64_t kPlainServerMs = 10 * 60 * 1000;
    // Plain answers to this many offers in a row, spread over at least this long, and nothing of
    // the extension meanwhile: only then is the server taken for a plain one.
    static constexpr int kPlainAnswersBelieved = 3;
    static constexpr std::int64_t kPlainBelievedMs = 2000;
    // The server forgot this file's transfer this often: it cannot keep it, the window says.
    static constexpr int kUnknownsShown = 3;
    // Timeouts in a row without any answer before the file is announced again.
    static constexpr int kSilentTimeouts = 3;
    static constexpr int kSilentFinishes = 6; // about 7 s: a large file's last sync may take long
    static constexpr std::int64_t kLongestFinishWaitUs = 2'000'000;
    // Answers to the finish that say bytes are missing before the client believes them over its
    // own count: late answers from before the finish say the same for a moment.
    static constexpr int kShortAnswers = 3;
    // Bytes of the file hashed at once when the digest has to catch up (after a resume, say).
    static constexpr std::int64_t kDigestStepBytes = 32 << 20;
    // The controller's window, kept within what the server's ranges were sized for.
    static constexpr std::int64_t kLargestWindowBytes = 4 << 20;
    static constexpr std::int64_t kSmallestWindowPieces = 4;

    ExtendedSender(PlainSender& plain, ExtFile& file, ExtRandom random);
    ~ExtendedSender();
    ExtendedSender(const ExtendedSender&) = delete;
    ExtendedSender& operator=(const ExtendedSender&) = delete;

    void configure(Settings settings) { settings_ = std::move(settings); }
    // This origin's key, when it has one; a key read again forgets the handshake under way.
    void setKey(std::optional<ext::Key> key);
    bool keyed() const { return key_.has_value(); }
    // Whether a header now carries an offer.
    bool offering(std::int64_t nowUs) const;

    // The header of `name`, of `size` bytes now, goes: the shell sends offeredHeader() when
    // offering, else the plain one.
    void headerSent(const std::string& name, std::int64_t size);
    // The header with its offer (and a keyed origin's hello).
    std::string offeredHeader();
    // A plain answer (its 0-based position `p`) while an offer waits for it; it ends with Plain
    // when it is to go on to the plain sender.
    Actions answerToOffer(std::string_view bytes, std::int64_t p, std::int64_t nowUs);
    // A datagram of the extension (in clear or sealed). `first`: the first listed file, if any.
    Actions datagram(std::string_view bytes, const std::string* first, std::int64_t nowUs);
    Actions wakePace(std::int64_t nowUs) { return pump(nowUs); }
    Actions wakeTimeout(std::int64_t nowUs);
    Actions step(std::int64_t transfer, std::int64_t nowUs);
    // The piece of `n` bytes at `offset`, read into `frame + bodyAt()`, hashed and framed in
    // place: the datagram's length.
    std::size_t framePiece(char* frame, std::int64_t offset, std::size_t n);
    std::size_t bodyAt() const;
    std::size_t datagramOf(std::size_t n) const {
        return n + bodyAt() + (sealed() ? ext::kTagBytes : 0);
    }
    // A piece asked for could not be read.
    Actions unreadable();
    // The transfer ends: the file finished, left the list, or goes again from its header.
    void leave();

    bool awaitsOffer() const { return offered_; }
    // The offer that waits got a plain answer: no silence.
    bool offerAnsweredPlainly() const { return offered_ && plainAnsweredOffer_; }
    bool sending() const { return transfer_ != nullptr; }
    bool unproven() const { return unproven_; }
    // The keys of a keyed transfer a session took on (Granted), handed over once.
    std::optional<HandedKeys> handOver() { return std::exchange(handed_, std::nullopt); }

private:
    // The file being sent in extended datagrams.
    struct Transfer {
        Transfer(std::uint64_t id, std::int64_t size, std::int64_t pieceMax, double rateCap,
                 std::int64_t nowUs);
        std::uint64_t transfer;
        ext::SendWindow window;
        ext::Congestion congestion; // the pace and the window
        std::int64_t startedUs;
        std::int64_t startBytes = 0;
        bool finishing = false;
        bool finishedEarly = false; // a finish went behind the last new piece
        std::int64_t finishDueUs = -1;
        std::int64_t finishWaitUs = 0;
        int silentTimeouts = 0; // timeouts in a row without any answer
        int shortAnswers = 0;   // answers to the finish that say bytes are missing
        // Since every byte was to be sent again, the end of what went again: a piece sent again
        // beyond it goes for the first time since, and is no loss.
        std::int64_t sentSinceRestart = -1;
        // A keyed origin's transfer: its datagrams go sealed under this session's keys.
        std::optional<ext::Session> session;
    };

    Actions take();
    ExtAction& add(ExtAction::Kind kind, std::int64_t value = 0);
    void ignore(std::string why);
    TransferMemory& memory() { return plain_.memory(name_); }
    bool sealed() const;
    // The plain protocol after offers.
    bool plainAfterOffers(std::int64_t nowMs);
    void extensionHeard();
    void serverIsPlain(std::int64_t nowMs);
    void goesPlain(std::int64_t nowUs);
    void prepareMemory();
    void granted(const ext::Accept& accept, int granted);
    void acceptedOffer(const ext::Accept& accept, std::int64_t nowUs,
                       std::optional<ext::Session> session = std::nullopt);
    // The transfer's datagrams.
    void onFrame(const ext::Frame& frame, std::int64_t nowUs);
    bool lateVerdict(const ext::Frame& frame, const std::string* first);
    void acknowledged(const ext::Frame& frame, std::int64_t nowUs);
    void mismatch(std::int64_t nowUs);
    void adjustWindow(std::int64_t ackedBefore, std::int64_t nowUs);
    Actions pump(std::int64_t nowUs);
    void pumpIn(std::int64_t nowUs);
    void sent(const ext::SendWindow::Piece& piece, std::int64_t nowUs);
    void finish(std::int64_t nowUs);
    void finishEarly();
    bool digestReady(TransferMemory& memory);
    void pace(std::int64_t nowUs);
    void sendFinish(std::int64_t nowUs);
    void addFinish();
    void armTimeout(std::int64_t nowUs);
    std::int64_t dueUs() const;
    void silentTimeout(std::int64_t nowUs);
    void reannounce(std::int64_t silent);
    void done(std::int64_t nowUs);
    void lost(std::string why);
    // A keyed origin's handshake and sealed datagrams (extendedsecure.cpp).
    std::string keyedHeader(std::uint64_t transfer);
    void newHandshake(std::uint64_t transfer);
    void keyedAnswer(std::string_view bytes, std::int64_t nowUs);
    bool answerChallenge(const ext::Challenge& challenge);
    bool takeProvenAccept(const ext::ProvenAccept& proven, std::string_view bytes,
                          std::int64_t nowUs);
    void serverUnproven(std::string why);
    void sealedAnswer(std::string_view bytes, const std::string* first, std::int64_t nowUs);

    PlainSender& plain_;
    ExtFile& file_;
    ExtRandom random_;
    Settings settings_;
    std::optional<ext::Key> key_;
    std::unique_ptr<Transfer> transfer_;
    // The handshake of a keyed origin's transfer `handshakeFor_`, until it is accepted.
    std::unique_ptr<KeyedTransfer> handshake_;
    std::uint64_t handshakeFor_ = 0;
    std::optional<HandedKeys> handed_;
    bool unproven_ = false; // the latest answer to a keyed header proved no key
    std::string name_;      // the file whose header went last, and its size then
    std::int64_t size_ = 0;
    bool offered_ = false; // a header with an offer waits for its answer
    // The server answered an offer plainly: no offer until then.
    std::int64_t plainServerUntilMs_ = -1;
    int plainAnswers_ = 0;
    std::int64_t firstPlainAnswerMs_ = 0;
    std::uint64_t headerSeq_ = 0;         // headers sent, counted
    std::uint64_t plainAnswerHeader_ = 0; // the header whose plain answer was counted last
    bool plainAnsweredOffer_ = false;     // the offer waiting got a plain answer, not silence
    std::string frame_;                   // the finish, kept from one to the next
    std::string opened_;                  // a sealed answer's body, decrypted
    Actions actions_;
};

} // namespace zelk
