// The client's side of the extension: the offer in a header, and once the server accepts it, the
// file sent as a window of extended datagrams, then checked whole by its digest before the
// server's final answer lets the client delete it.

#include "clientengine.h"

#include "codec.h"

#include <QRandomGenerator>
#include <algorithm>

namespace zelk {
namespace {

// Bytes of the file hashed at once when the digest has to catch up (after a resume, say); the
// event loop turns between two such steps.
constexpr std::int64_t kDigestStepBytes = 32 << 20;
// The controller's window, kept within what the server's ranges were sized for.
constexpr std::int64_t kLargestWindowBytes = 4 << 20;
constexpr std::int64_t kSmallestWindowPieces = 4;
// Timeouts in a row without any answer before the file is announced again.
constexpr int kSilentTimeouts = 3;
constexpr int kSilentFinishes = 6; // about 7 s: a large file's last sync may take a while
constexpr std::int64_t kLongestFinishWaitUs = 2'000'000;
// Answers to the finish that say bytes are missing before the client believes them over its own
// count: late answers from before the finish say the same for a moment.
constexpr int kShortAnswers = 3;

std::uint64_t newTransferIdentity() {
    std::uint64_t id = 0;
    while (id == 0) {
        id = QRandomGenerator::system()->generate64();
    }
    return id;
}

int percentOf(std::int64_t part, std::int64_t whole) {
    return whole <= 0
               ? 0
               : static_cast<int>(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
}

} // namespace

// A file too large for a plain header carries size 0 there, which a plain server takes for a
// transfer that never completes; only the offer says the real size.
std::string ClientEngine::offeredHeader(const Listed& item, std::int64_t size) {
    TransferMemory& memory = memoryOfFirst();
    if (memory.transfer == 0) {
        memory.transfer = newTransferIdentity();
    }
    offered_ = true;
    std::string fields = ext::offerField(ext::Offer{memory.transfer, size});
    if (key_) {
        fields += ';' + helloField(memory.transfer);
    }
    return buildHeaderFrame(cfg_.cfgIdOrigine, item.name, ext::plainSizeText(size), fields);
}

// The answer to an offered header: true when it is taken here (accepted, or a file that only the
// extension can carry refused), false when it goes on as a plain answer.
bool ClientEngine::takeAcceptance(std::string_view bytes, std::int64_t p, std::int64_t nowMs) {
    if (key_) {
        return keyedAnswer(bytes);
    }
    const auto accept = ext::findAccept(bytes);
    if (accept) {
        if (accept->transfer != memoryOfFirst().transfer || accept->cumulative > tailleFichier_) {
            sender_.strayAnswer(nowMs);
            traceIgnored("position " + std::to_string(p + 1) + " accepts another transfer");
            return true;
        }
        acceptedOffer(*accept);
        return true;
    }
    if (!plainAfterOffers(nowMs)) {
        // A server that takes the extension answers every offer with it: a plain answer is a
        // late copy, or answers a plain header of long ago. It moves nothing.
        if (trace_.enabled()) {
            trace_.write("answer ignored", std::string(bytes) + ": a plain answer to an offer");
        }
        return true;
    }
    offered_ = false;
    serverIsPlain(nowMs);
    if (tailleFichier_ <= kLargestFile) {
        return false;
    }
    stopWaiting();
    if (const auto stamp = stampOf(pathOfFirst())) {
        scan_->reject(lstFilPos_.front().name, *stamp, OutboxScan::Verdict::TooLarge);
    }
    dropFirst("larger than 2147483646 bytes, which the server cannot take; it stays until it "
              "changes or the client starts again");
    timAttente_.enable();
    return true;
}

// Only plain answers to several offers in a row, over some seconds, with nothing of the extension
// from the server meanwhile, make this client believe the server is plain: one stray answer must
// not send a file down the plain protocol, whose repairs know nothing of the extension's.
bool ClientEngine::plainAfterOffers(std::int64_t nowMs) {
    plainAnsweredOffer_ = true;
    if (plainAnswerHeader_ == headerSeq_) {
        return false; // a copy of the answer to the same offer
    }
    if (plainAnswers_ == 0) {
        firstPlainAnswerMs_ = nowMs;
    }
    plainAnswerHeader_ = headerSeq_;
    return ++plainAnswers_ >= kPlainAnswersBelieved &&
           nowMs - firstPlainAnswerMs_ >= kPlainBelievedMs;
}

// Anything of the extension from the server shows it takes it.
void ClientEngine::extensionHeard() {
    plainAnswers_ = 0;
    plainAnswerHeader_ = 0;
}

void ClientEngine::serverIsPlain(std::int64_t nowMs) {
    if (trace_.wants("plain protocol") && nowMs >= plainServerUntilMs_) {
        trace_.write("plain protocol",
                     "the server answered " + std::to_string(plainAnswers_) +
                         " offers in a row without the extension: it is taken for a plain server; "
                         "offered again in " +
                         std::to_string(kPlainServerMs / 60000) + " minutes");
    }
    extensionHeard();
    plainServerUntilMs_ = nowMs + kPlainServerMs;
    // The file goes on in the plain protocol from nothing it learnt in the extension: this
    // client sent none of it in plain pieces, so no plain resume can be sound.
    TransferMemory& memory = memoryOfFirst();
    memory.transfer = 0;
    memory.sentEnd = 0;
    memory.ackedEnd = -1;
    memory.unackedEnds.clear();
}

void ClientEngine::acceptedOffer(const ext::Accept& accept, std::optional<ext::Session> session) {
    stopWaiting();
    offered_ = false;
    extensionHeard();
    TransferMemory& memory = memoryOfFirst();
    // Plain positions mean nothing to the extension's transfer, nor the plain repairs.
    memory.sentEnd = -1;
    memory.ackedEnd = -1;
    memory.unackedEnds.clear();
    memory.mustReset = false;
    memory.answeredOutOfRange = false;
    if (!memory.digest || memory.startStamp != sender_.headerStamp()) {
        // Changed since its transfer began: what was hashed is of another content. The server
        // may hold bytes of that one too; the digest at the end finds them out.
        memory.startStamp = sender_.headerStamp();
        memory.digest = std::make_shared<ext::RunningDigest>();
        memory.fileDigest.reset();
    }
    ext_ =
        std::make_unique<ExtSending>(accept.transfer, tailleFichier_, extPiece_, rateCap_, nowUs());
    ext_->session = std::move(session);
    ext_->window.onAck(accept.cumulative, {}, nowUs());
    ext_->startBytes = accept.cumulative;
    paceTimer_.setSingleShot(true);
    paceTimer_.setTimerType(Qt::PreciseTimer);
    connect(&paceTimer_, &QTimer::timeout, this, &ClientEngine::pumpExtended, Qt::UniqueConnection);
    rateMarkUs_ = -1;
    if (trace_.enabled()) {
        trace_.write("extended protocol", "\"" + lstFilPos_.front().name +
                                              "\": the server takes the extension and holds " +
                                              std::to_string(accept.cumulative) + " of its " +
                                              std::to_string(tailleFichier_) + " bytes");
    }
    pumpExtended();
}

void ClientEngine::extendedAnswer(std::string_view bytes) {
    const auto frame = key_ ? std::nullopt : ext::decode(bytes); // a keyed origin's are sealed
    if (frame && !ext_ && lateVerdict(*frame)) {
        return;
    }
    if (!frame || !ext_ || frame->transfer != ext_->transfer || lstFilPos_.empty()) {
        if (trace_.enabled()) {
            trace_.write("answer ignored", "an extended datagram of " +
                                               std::to_string(bytes.size()) +
                                               " bytes for no transfer under way");
        }
        return;
    }
    extendedFrame(*frame);
}

void ClientEngine::extendedFrame(const ext::Frame& frame) {
    ext_->silentTimeouts = 0;
    extensionHeard();
    switch (frame.kind) {
    case ext::Kind::Ack:
        extendedAcknowledged(frame);
        return;
    case ext::Kind::Verified:
        if (ext_->finishing && frame.value == ext_->window.size()) {
            extendedDone();
        }
        return;
    case ext::Kind::Mismatch:
        if (trace_.enabled()) {
            trace_.write("file sent again", "\"" + lstFilPos_.front().name +
                                                "\": the server's copy did not have its digest");
        }
        ext_->window.restart();
        ext_->sentSinceRestart = 0;
        ext_->finishing = false;
        pumpExtended();
        return;
    case ext::Kind::Unknown:
        // The server forgot the transfer (it restarted, or took another file from this origin,
        // or someone took its staging file away: then again and again).
        if (++memoryOfFirst().unknowns == kUnknownsShown) {
            emit statusChanged();
        }
        leaveExtended();
        Envoie_Entete();
        return;
    default:
        return;
    }
}

// The final answer to this client's finish, come after it gave up waiting and announced the file
// again: the server verified the file against the digest this client sent, so it is done.
bool ClientEngine::lateVerdict(const ext::Frame& frame) {
    if (frame.kind != ext::Kind::Verified || lstFilPos_.empty()) {
        return false;
    }
    const TransferMemory& memory = memoryOfFirst();
    if (memory.transfer != frame.transfer || !memory.fileDigest || frame.value != tailleFichier_) {
        return false;
    }
    stopWaiting();
    offered_ = false;
    if (trace_.enabled()) {
        trace_.write("file verified",
                     "\"" + lstFilPos_.front().name + "\": the server's final answer came late");
    }
    finishFirst(false);
    return true;
}

void ClientEngine::extendedAcknowledged(const ext::Frame& frame) {
    const auto ranges = ext::ackRanges(frame);
    const std::int64_t size = ext_->window.size();
    if (!ranges || frame.value > size || (!ranges->empty() && ranges->back().end > size)) {
        return;
    }
    if (ext_->finishing && frame.value < size && ++ext_->shortAnswers >= kShortAnswers) {
        // The server lacks bytes this client counts as acknowledged: an answer older than its
        // discarding a mismatched copy re-marked them. What it says now is what it holds.
        ext_->window.restart();
        ext_->sentSinceRestart = 0;
        ext_->finishing = false;
        ext_->shortAnswers = 0;
    }
    // The same time for the window and the controller: the controller finds the piece a round
    // trip was measured on by its send time.
    const std::int64_t now = nowUs();
    const std::int64_t ackedBefore = ext_->window.ackedBytes();
    ext_->window.onAck(frame.value, *ranges, now);
    adjustWindow(ackedBefore, now);
    pumpExtended();
}

// An answer that acknowledged new bytes carries the round trip of the latest piece it settled.
void ClientEngine::adjustWindow(std::int64_t ackedBefore, std::int64_t now) {
    ext::SendWindow& window = ext_->window;
    const std::int64_t piece = extPiece_;
    const std::int64_t delivered = std::max<std::int64_t>(window.ackedBytes() - ackedBefore, 0);
    ext_->congestion.onAck(ext::Congestion::Ack{delivered, delivered > 0 ? window.latestRttUs() : 0,
                                                window.inFlightBytes()},
                           now);
    window.setWindowBytes(std::clamp(ext_->congestion.windowBytes(), kSmallestWindowPieces * piece,
                                     std::max(kLargestWindowBytes, kSmallestWindowPieces * piece)));
}

void ClientEngine::pumpExtended() {
    if (!ext_) {
        return;
    }
    const std::string& path = pathOfFirst();
    const auto length = reader_.lengthOf(path);
    if (!length || *length != ext_->window.size()) {
        extendedLost(length ? "its size changed during its transfer" : "it vanished");
        return;
    }
    TransferMemory& memory = memoryOfFirst();
    for (;;) {
        const std::int64_t now = nowUs();
        if (ext_->congestion.nextSendUs() > now) {
            armPacing(now);
            break;
        }
        const auto piece = ext_->window.next(now);
        if (!piece) {
            break;
        }
        if (!queuePiece(*piece, path, memory)) {
            extendedLost("it cannot be read");
            return;
        }
        sentExtended(*piece, now);
    }
    flushExtended();
    setProgress(percentOf(ext_->window.cumulative(), ext_->window.size()));
    measureRate("ZX1", ext_->window.ackedBytes());
    if (ext_->window.allAcked()) {
        finishExtended();
        return;
    }
    armExtendedTimer();
}

// The piece joins those this turn sends together; a full batch leaves first. False when the file
// cannot be read.
bool ClientEngine::queuePiece(const ext::SendWindow::Piece& piece, const std::string& path,
                              TransferMemory& memory) {
    const auto n = static_cast<std::size_t>(piece.length);
    const bool sealed = ext_->session.has_value();
    const std::size_t datagram = (sealed ? ext::kSealedOverhead : ext::kHeadBytes) + n;
    if (extQueued_.size() == kBatchDatagrams || extBatchUsed_ + datagram > extBatch_.size()) {
        flushExtended();
    }
    char* frame = extBatch_.data() + extBatchUsed_;
    char* body = frame + (sealed ? ext::kSealedHeadBytes : ext::kHeadBytes);
    const auto got = reader_.readAt(path, piece.offset, body, n);
    if (!got || *got != n) {
        extQueued_.clear();
        extBatchUsed_ = 0;
        return false;
    }
    memory.digest->feed(piece.offset, std::string_view(body, n));
    if (sealed) {
        ext::Session& session = *ext_->session;
        ext::sealInPlace(frame, ext::Kind::Data, ext_->transfer, piece.offset, ++session.sent, n,
                         session.sendKey, session.aead);
    } else {
        ext::writeHead(frame, ext::Kind::Data, ext_->transfer, piece.offset, n);
    }
    extQueued_.emplace_back(frame, datagram);
    extBatchUsed_ += datagram;
    return true;
}

// One system call or a few for the whole batch, where one each took most of the client's time.
void ClientEngine::flushExtended() {
    if (!extQueued_.empty()) {
        sendMany(extQueued_);
    }
    extQueued_.clear();
    extBatchUsed_ = 0;
}

// Every byte is acknowledged: the file's digest, once the file is known unchanged, asks the
// server for its verdict.
void ClientEngine::finishExtended() {
    if (ext_->finishing) {
        return;
    }
    TransferMemory& memory = memoryOfFirst();
    const std::string& path = pathOfFirst();
    if (!digestReady(memory, path)) {
        return;
    }
    if (stampOf(path) != memory.startStamp) {
        extendedLost("it changed during its transfer");
        return;
    }
    ext_->finishing = true;
    // The server reads the file back and syncs it before it answers: give it time.
    ext_->finishWaitUs = std::max<std::int64_t>(4 * ext_->window.smoothedRttUs(), 200'000);
    sendFinish();
}

// Hashes what is left in steps, the event loop turning between them; false until done.
bool ClientEngine::digestReady(TransferMemory& memory, const std::string& path) {
    if (memory.fileDigest) {
        return true;
    }
    const std::int64_t size = ext_->window.size();
    const bool read = memory.digest->catchUp(
        size, kDigestStepBytes, [this, &path](char* into, std::size_t n, std::int64_t offset) {
            const auto got =
                reader_.lengthOf(path) ? reader_.readAt(path, offset, into, n) : std::nullopt;
            return got ? static_cast<long>(*got) : -1L;
        });
    if (!read) {
        extendedLost("it cannot be read");
        return false;
    }
    if (memory.digest->done() < size) {
        QTimer::singleShot(0, this, [this, transfer = ext_->transfer] {
            if (ext_ && ext_->transfer == transfer) {
                pumpExtended();
            }
        });
        return false;
    }
    memory.fileDigest = memory.digest->finish();
    return true;
}

void ClientEngine::sendFinish() {
    const ext::Digest& digest = *memoryOfFirst().fileDigest;
    const std::string_view body(reinterpret_cast<const char*>(digest.data()), digest.size());
    if (ext_->session) {
        ext::seal(ext::Kind::Finish, ext_->transfer, ext_->window.size(), ++ext_->session->sent,
                  body, ext_->session->sendKey, ext_->session->aead, extFrame_);
    } else {
        ext::encode(ext::Kind::Finish, ext_->transfer, ext_->window.size(), body, extFrame_);
    }
    send(extFrame_);
    extFrame_.resize(ext::kLargestDatagram);
    ext_->finishDueUs = nowUs() + ext_->finishWaitUs;
    armExtendedTimer();
}

void ClientEngine::sentExtended(const ext::SendWindow::Piece& piece, std::int64_t now) {
    std::int64_t& restarted = ext_->sentSinceRestart;
    const bool firstSinceRestart = restarted >= 0 && piece.offset >= restarted;
    if (piece.again && !firstSinceRestart) {
        ext_->congestion.onLoss(piece.length, now);
    }
    if (restarted >= 0) {
        restarted = std::max(restarted, piece.offset + piece.length);
    }
    ext_->congestion.onSent(piece.length, now);
}

// Timers count in milliseconds: the controller lets a sender woken late catch up on its pace.
void ClientEngine::armPacing(std::int64_t now) {
    const std::int64_t waitMs = (ext_->congestion.nextSendUs() - now + 999) / 1000;
    paceTimer_.start(static_cast<int>(std::clamp<std::int64_t>(waitMs, 1, 1000)));
}

void ClientEngine::armExtendedTimer() {
    const std::int64_t due = ext_->finishing ? ext_->finishDueUs : ext_->window.deadlineUs();
    if (due < 0) {
        extTimer_.stop();
        return;
    }
    const std::int64_t waitMs = (std::max<std::int64_t>(due - nowUs(), 0) + 999) / 1000;
    extTimer_.start(static_cast<int>(std::max<std::int64_t>(waitMs, 1)));
}

// No answer for a while: pieces are sent again, and after a few timeouts without any answer the
// header, whose answer says where the server stands (it may have restarted).
void ClientEngine::extendedTimeout() {
    if (!ext_) {
        return;
    }
    const std::int64_t now = nowUs();
    const std::int64_t due = ext_->finishing ? ext_->finishDueUs : ext_->window.deadlineUs();
    if (due < 0 || now < due) {
        armExtendedTimer();
        return;
    }
    if (ext_->silentTimeouts == 0 && !silentSince_.isValid()) {
        silentSince_ = QDateTime::currentDateTime();
        emit statusChanged();
    }
    if (++ext_->silentTimeouts > (ext_->finishing ? kSilentFinishes : kSilentTimeouts)) {
        if (trace_.wants("no answer")) {
            trace_.write("no answer", "to the extended datagrams of \"" + lstFilPos_.front().name +
                                          "\": it is announced again");
        }
        leaveExtended();
        Envoie_Entete();
        return;
    }
    if (ext_->finishing) {
        ext_->finishWaitUs = std::min(2 * ext_->finishWaitUs, kLongestFinishWaitUs);
        sendFinish();
        return;
    }
    ext_->window.onDeadline(now);
    pumpExtended();
}

void ClientEngine::leaveExtended() {
    ext_.reset();
    extTimer_.stop();
    paceTimer_.stop();
    offered_ = false;
}

void ClientEngine::extendedDone() {
    if (trace_.enabled()) {
        const std::int64_t us = std::max<std::int64_t>(nowUs() - ext_->startedUs, 1);
        trace_.write("file verified",
                     "\"" + lstFilPos_.front().name + "\": the server holds it whole, SHA-256 " +
                         ext::digestHex(*memoryOfFirst().fileDigest) + ", extended protocol, " +
                         rateText(static_cast<double>(ext_->window.size() - ext_->startBytes) *
                                  1e6 / static_cast<double>(us)) +
                         ", " + std::to_string(ext_->window.sentAgainBytes()) +
                         " bytes sent again");
    }
    runStartBytes_ = ext_->startBytes;
    resentBytes_ = ext_->window.sentAgainBytes();
    leaveExtended();
    finishFirst(false);
}

// The file cannot go on as it was: its transfer is forgotten, so it starts anew under another
// identity once it can be sent again.
void ClientEngine::extendedLost(const std::string& why) {
    leaveExtended();
    sender_.forget(lstFilPos_.front().name);
    scan_->touch();
    dropFirst(why);
    timAttente_.enable();
}

// The rate shown is that of the latest second or so.
void ClientEngine::measureRate(const char* protocol, std::int64_t bytes) {
    const std::int64_t now = nowUs();
    if (rateMarkUs_ < 0 || bytes < rateMarkBytes_) {
        rateMarkUs_ = now;
        rateMarkBytes_ = bytes;
        if (status_.rfind(protocol, 0) != 0) {
            setStatus(protocol);
        }
        return;
    }
    const std::int64_t span = now - rateMarkUs_;
    if (span < 1'000'000) {
        return;
    }
    setStatus(
        std::string(protocol) + " " +
        rateText(static_cast<double>(bytes - rateMarkBytes_) * 1e6 / static_cast<double>(span)));
    rateMarkUs_ = now;
    rateMarkBytes_ = bytes;
}

void ClientEngine::setStatus(std::string status) {
    if (status != status_) {
        status_ = std::move(status);
        emit statusChanged();
    }
}

} // namespace zelk
