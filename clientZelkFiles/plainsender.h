#pragma once

// The plain protocol's sender without socket, timer or clock: it is told what happened (a header
// is to go, an answer came, the wait ran out, a piece was read) and at what time, and it answers
// with what the client is to do, as values.
//
// An answer names no file and no frame, and the network may copy frames or deliver them late: the
// sender takes at most one answer for the frame that waits, only one that can answer it, and the
// memory of each file's transfer tells a sound resume from a stray one. `StrayGuard` gathers what
// the client does against answers and headers that come late or twice.

#include "digest.h"
#include "openprobe.h"
#include "piecelengths.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// What the client remembers of a file's transfer while the file stays in its outbox.
struct TransferMemory {
    // As the file was when its transfer started from the first byte, or when it was first
    // listed: a file that differs at the end is not deleted.
    std::optional<FileStamp> startStamp;
    // How far this client has sent the file since its transfer began; -1 when it does not know
    // (it was started while the server already held part of the file).
    std::int64_t sentEnd = -1;
    // The server's latest sound answer in this transfer (-1: none), and where each piece sent
    // since then ends: the only places a resume can soundly name.
    std::int64_t ackedEnd = -1;
    std::vector<std::int64_t> unackedEnds;
    // The server's copy holds bytes in the wrong place: announce another size first, so the
    // server starts the file anew.
    bool mustReset = false;
    bool answeredOutOfRange = false; // the latest header got only such answers
    int stalls = 0;
    int headers = 0;  // headers sent in this transfer, resets included
    int unknowns = 0; // times the server forgot the transfer
    // The latest answer to a header behind ackedEnd, and the header it answered.
    std::int64_t behindAt = -1;
    int behindHeader = 0;
    // The extension: the identity offered for this transfer (0 until offered), the digest of the
    // file as read so far, and the whole file's once known.
    std::uint64_t transfer = 0;
    std::shared_ptr<ext::RunningDigest> digest;
    std::optional<ext::Digest> fileDigest;
};

// A finished file not yet deleted, while a stray frame may still undo its copy.
struct HeldBack {
    std::string name;
    TransferMemory memory;
    std::int64_t untilMs = 0;
    std::int64_t size = 0;
};

// Everything the client does against frames that come late or twice. On such a link a header
// whose fate is unknown may still reach the server after its file completed, start the file anew
// there, and let the next file's first piece replace the finished copy; a copy of a piece may be
// written in place of the piece on its way. So: after such a header no new file starts for a
// while (the quiet window); answers that fit nothing open the stray window; a finished file is
// held back until no stray frame can come, and sent again whole when a first-byte answer nobody
// asked for shows the server started some file anew; and piece lengths are chosen so that a copy
// shows as an answer that does not fit.
class StrayGuard {
public:
    // How long after an answer that fits nothing the link is taken to copy or hold back frames.
    static constexpr std::int64_t kLateCopyMs = 5000;
    static constexpr std::int64_t kHeldBackMs = 1000;

    // `heldBackMs`: how long a header at large may still arrive; `riskMs`: how long a piece
    // whose answer never came may.
    void setTimes(std::int64_t heldBackMs, std::int64_t riskMs);
    void setHeldBackMs(std::int64_t ms) { heldBackMs_ = ms; }
    std::int64_t heldBackMs() const { return heldBackMs_; }

    // An answer that fits nothing: the link copies frames or delivers them late.
    void strayAnswer(std::int64_t nowMs);
    bool straysLately(std::int64_t nowMs) const { return nowMs < straysUntilMs_; }
    // A header whose fate is unknown may reach the server late: the next file waits for it.
    void headerAtLarge(std::int64_t nowMs);
    bool quiet(std::int64_t nowMs) const { return nowMs < quietUntilMs_; }
    // A file finished; `plain`: by a plain answer, so that a stray header can undo its copy.
    void fileFinished(bool plain) { betweenFiles_ = plain; }
    // Whether the next file must wait: a file just finished, a header may be at large, and the
    // link showed strays lately. Once a file may start, that holds until the next one finishes.
    bool nextFileWaits(std::int64_t nowMs);

    // Whether a finished file is kept for a while before it is deleted.
    bool wantsHoldBack(std::int64_t nowMs) const { return lengths_.wary(nowMs); }
    void holdBack(const std::string& name, const TransferMemory& memory, std::int64_t size,
                  std::int64_t nowMs);
    bool isHeldBack(const std::string& name) const;
    // The held-back files whose time is up, taken out of the guard.
    std::vector<HeldBack> due(std::int64_t nowMs);
    // The server started some file anew unasked: every file held back goes again, whole.
    std::vector<HeldBack> releaseAll();

    PieceLengths& lengths() { return lengths_; }
    const PieceLengths& lengths() const { return lengths_; }

private:
    std::int64_t heldBackMs_ = kHeldBackMs;
    std::int64_t quietUntilMs_ = -1;
    std::int64_t straysUntilMs_ = -1;
    bool betweenFiles_ = false; // a file finished and the next has not started
    std::vector<HeldBack> heldBack_;
    PieceLengths lengths_;
};

// One thing the client is to do.
struct SenderAction {
    enum class Kind {
        Header,      // send the header of `name` with `size`; `from`: what the server is known
                     // to hold, for the progress bar
        Reset,       // send the header of `name` with size 0: the server starts its copy anew
        WaitFor,     // the wait lasts `size` ms from its next enabling
        WaitOn,      // enable the wait
        LoopOn,      // enable the send loop
        StopWaiting, // disable both
        Content,     // Envoie_Contenu(`from`): take the file's length now and call piece()
        Piece,       // read `size` bytes from `from` and report them with pieceSent()
        Finish,      // the server holds the file whole
        Announce,    // send the first file's header again now (after a reset was answered)
        Answered,    // the header's answer: the server holds `from` bytes
        Ignored,     // an answer was dropped, for `reason`
        Unasked,     // an answer came while nothing waited for one
        Restart,     // the file starts anew from its first byte, for `reason`
        Silence,     // no answer came within the wait
        MoveOn,      // the first file goes behind the others, for `reason`
        SendAgain,   // the held-back `name` goes again whole
        Pause,       // the next file must wait: enable the loop and stop
        Delete,      // delete the finished `name` now
        HoldBack,    // keep the finished `name` until `size` (ms)
        DeleteDue,   // the held-back `name` (of `size` bytes, as `stamp`) may be deleted now
    };
    Kind kind;
    std::int64_t from = 0;
    std::int64_t size = 0;
    std::string name;
    std::string reason;
    std::optional<FileStamp> stamp;
};

// Driven as the client drives it: header() when the loop takes up the first file (after tick()
// found no Pause), answer() for each plain answer, waitRanOut() when the wait's timer ticks. The
// actions come in the order they are to be done; Content asks for the file's length, given to
// piece(), whose Piece is read and reported with pieceSent() before it goes, and whose Finish is
// followed by finished() once the shell knows the file can be deleted.
// A payload that begins with "BEG" and ends with "END" is taken by the server for a header, so
// such a piece is cut short: the length of the first `n` bytes of `piece` that may go. At 3 bytes
// it is "BEG" and safe, so the cut always ends.
std::size_t lengthClearOfHeaderMarks(std::string_view piece);

class PlainSender {
public:
    using Actions = std::vector<SenderAction>;
    enum class Awaiting { Nothing, Header, Reset, Piece };

    struct Settings {
        std::size_t pieceMax = 1;
        std::int64_t waitMs = 0;
        // How long a header at large may still arrive, and a piece held back by the network.
        std::int64_t heldBackMs = StrayGuard::kHeldBackMs;
        std::int64_t riskMs = StrayGuard::kLateCopyMs;
    };
    // After this many silences in a row on a file whose header the server answers, the file
    // waits behind the others: the server takes its header but not its content. Many, so that a
    // merely lossy link does not make a large file start over.
    static constexpr int kStallsBeforeMovingOn = 20;
    static constexpr std::int64_t kLongestFinalWaitMs = 60000;

    // The settings a client's wait gives: a late piece or header arrives within some multiple of
    // the wait, if ever.
    static Settings settingsFor(std::size_t pieceMax, std::int64_t waitMs);
    explicit PlainSender(const Settings& settings);

    // A loop tick: nothing waits for an answer any more; held-back files whose time is up.
    Actions tick(std::int64_t nowMs);
    // The first file's header. `stamp`: as the file is now; `listed`: as its scan found it.
    // `resetAllowed`: a size-0 header may go (not for an offer, nor a keyed origin).
    Actions header(const std::string& name, const FileStamp& stamp, const FileStamp& listed,
                   bool resetAllowed, std::int64_t nowMs);
    // A plain answer: the 0-based position it names, or nothing for a datagram that is not one.
    Actions answer(std::optional<std::int64_t> p, std::int64_t nowMs);
    // The wait ran out. `offerAnsweredPlainly`: the offer that waited got a plain answer, which
    // is no silence; `othersWaiting`: other files are listed behind the first.
    Actions waitRanOut(std::int64_t nowMs, bool offerAnsweredPlainly, bool othersWaiting);
    // Envoie_Contenu(p) with the file's length now: the piece to send, or the end of the file.
    Actions piece(std::int64_t p, std::int64_t total, std::int64_t nowMs);
    // The piece from `p` went with `n` bytes (fewer than asked when cut short).
    Actions pieceSent(std::int64_t p, std::int64_t n, std::int64_t total);
    // The first file ended, acknowledged whole and deletable: held back or deleted.
    Actions finished(const std::string& name, const TransferMemory& memory, bool plain,
                     std::int64_t nowMs);
    // The first file left the list without finishing.
    void dropped();
    // The wait stops with no answer taken (an answer of the extension came).
    void stopWaiting() { awaiting_ = Awaiting::Nothing; }
    // An answer that fits nothing was seen outside the plain protocol.
    void strayAnswer(std::int64_t nowMs) { guard_.strayAnswer(nowMs); }
    // A keyed origin's transfers never go plain: no stray header can start them anew.
    void setKeyed(bool keyed) { keyed_ = keyed; }

    TransferMemory& memory(const std::string& name) { return transfers_[name]; }
    void forget(const std::string& name) { transfers_.erase(name); }
    // What is known of a transfer lasts as long as its file stays sendable.
    void keepOnly(const std::set<std::string_view>& listed);
    const TransferMemory* find(const std::string& name) const;

    Awaiting awaiting() const { return awaiting_; }
    std::int64_t size() const { return size_; }
    const FileStamp& headerStamp() const { return headerStamp_; }
    std::int64_t pieceFrom() const { return pieceFrom_; }
    std::int64_t pieceLength() const { return pieceLength_; }
    StrayGuard& guard() { return guard_; }
    const StrayGuard& guard() const { return guard_; }

private:
    Actions take();
    void add(SenderAction::Kind kind, std::int64_t from = 0, std::int64_t size = 0);
    void ignore(std::int64_t p, const std::string& why);
    TransferMemory& current() { return transfers_[current_]; }
    void answerToHeader(std::int64_t p, std::int64_t nowMs);
    void answerToReset();
    void answerToPiece(std::int64_t p, std::int64_t nowMs);
    void unasked(std::optional<std::int64_t> p, std::int64_t nowMs);
    void strayHeaderAnswer(std::int64_t nowMs);
    void strayFirstByteAnswer();
    void startOver(const std::string& why, std::int64_t nowMs);
    void accept(std::int64_t p);
    std::string unsoundResume(const TransferMemory& memory, std::int64_t p, std::int64_t nowMs);
    static bool behindAgain(TransferMemory& memory, std::int64_t p);
    static void restartedFromNothing(TransferMemory& memory);
    std::int64_t finalWaitMs(std::int64_t size) const;

    Settings settings_;
    bool keyed_ = false;
    StrayGuard guard_;
    std::map<std::string, TransferMemory> transfers_;
    std::string current_; // the file whose header went last
    std::int64_t size_ = 0;
    FileStamp headerStamp_;
    // The frame that waits for its answer: at most one answer is taken for it.
    Awaiting awaiting_ = Awaiting::Nothing;
    std::int64_t pieceFrom_ = 0;
    std::int64_t pieceLength_ = 0;
    std::int64_t restartQuietUntilMs_ = -1; // no header goes before, after a restart
    Actions actions_;
};

} // namespace zelk
