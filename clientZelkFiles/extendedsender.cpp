#include "extendedsender.h"

#include "codec.h"
#include "keyedtransfer.h"

#include <sodium.h>

#include <algorithm>

namespace zelk {

ExtendedSender::Transfer::Transfer(std::uint64_t id, std::int64_t size, std::int64_t pieceMax,
                                   double rateCap, std::int64_t nowUs)
    : transfer(id), window(size, pieceMax, 16 * pieceMax),
      congestion(pieceMax, rateCap, static_cast<std::uint32_t>(id)), startedUs(nowUs) {}

ExtendedSender::ExtendedSender(PlainSender& plain, ExtFile& file, ExtRandom random)
    : plain_(plain), file_(file), random_(std::move(random)), frame_(ext::kLargestDatagram, '\0') {}

ExtendedSender::~ExtendedSender() {
    newHandshake(0);
    if (handed_) {
        handed_->session.send.wipe();
        handed_->session.receive.wipe();
        sodium_memzero(handed_->resume.data(), handed_->resume.size());
    }
}

void ExtendedSender::setKey(std::optional<ext::Key> key) {
    key_ = key;
    newHandshake(0);
    unproven_ = false;
}

bool ExtendedSender::offering(std::int64_t nowUs) const {
    return settings_.extensionOn && (keyed() || nowUs / 1000 >= plainServerUntilMs_);
}

ExtendedSender::Actions ExtendedSender::take() {
    Actions out;
    out.swap(actions_);
    return out;
}

ExtAction& ExtendedSender::add(ExtAction::Kind kind, std::int64_t value) {
    actions_.push_back(ExtAction{kind, value, 0, 0, 0, {}, {}});
    return actions_.back();
}

void ExtendedSender::ignore(std::string why) {
    add(ExtAction::Kind::Ignored).text = std::move(why);
}

bool ExtendedSender::sealed() const {
    return transfer_ && transfer_->session.has_value();
}

std::size_t ExtendedSender::bodyAt() const {
    return sealed() ? ext::kSealedHeadBytes : ext::kHeadBytes;
}

void ExtendedSender::headerSent(const std::string& name, std::int64_t size) {
    ++headerSeq_;
    plainAnsweredOffer_ = false;
    offered_ = false;
    name_ = name;
    size_ = size;
}

// A file too large for a plain header carries size 0 there, which a plain server takes for a
// transfer that never completes; only the offer says the real size.
std::string ExtendedSender::offeredHeader() {
    TransferMemory& known = memory();
    while (known.transfer == 0) {
        known.transfer = random_.identity();
    }
    offered_ = true;
    if (keyed()) {
        return keyedHeader(known.transfer);
    }
    std::string fields = ext::offerField(ext::Offer{known.transfer, size_});
    if (settings_.transfers > 1) {
        fields += ';' + ext::multiField(std::min(settings_.transfers, ext::kMostTransfersAsked));
    }
    return buildHeaderFrame(settings_.origin, name_, ext::plainSizeText(size_), fields);
}

ExtendedSender::Actions ExtendedSender::answerToOffer(std::string_view bytes, std::int64_t p,
                                                      std::int64_t nowUs) {
    const std::int64_t nowMs = nowUs / 1000;
    if (keyed()) {
        keyedAnswer(bytes, nowUs);
        return take();
    }
    if (const auto accept = ext::findAccept(bytes)) {
        if (accept->transfer != memory().transfer || accept->cumulative > size_) {
            plain_.strayAnswer(nowMs);
            ignore("position " + std::to_string(p + 1) + " accepts another transfer");
        } else if (const auto grant = ext::findGrant(bytes);
                   grant && *grant > 1 && settings_.transfers > 1) {
            granted(*accept, *grant);
        } else {
            acceptedOffer(*accept, nowUs);
        }
        return take();
    }
    if (!plainAfterOffers(nowMs)) {
        // A server that takes the extension answers every offer with it: a plain answer is a
        // late copy, or answers a plain header of long ago. It moves nothing.
        ignore(std::string(bytes) + ": a plain answer to an offer");
        return take();
    }
    offered_ = false;
    serverIsPlain(nowMs);
    add(size_ <= kLargestFile ? ExtAction::Kind::Plain : ExtAction::Kind::TooLarge);
    return take();
}

// Only plain answers to several offers in a row, over some seconds, with nothing of the extension
// from the server meanwhile, make this client believe the server is plain: one stray answer must
// not send a file down the plain protocol, whose repairs know nothing of the extension's.
bool ExtendedSender::plainAfterOffers(std::int64_t nowMs) {
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
void ExtendedSender::extensionHeard() {
    plainAnswers_ = 0;
    plainAnswerHeader_ = 0;
}

void ExtendedSender::serverIsPlain(std::int64_t nowMs) {
    add(ExtAction::Kind::PlainServer, plainAnswers_).extra = nowMs >= plainServerUntilMs_ ? 1 : 0;
    extensionHeard();
    plainServerUntilMs_ = nowMs + kPlainServerMs;
    // The file goes on in the plain protocol from nothing it learnt in the extension: this
    // client sent none of it in plain pieces, so no plain resume can be sound.
    TransferMemory& known = memory();
    known.transfer = 0;
    known.sentEnd = 0;
    known.ackedEnd = -1;
    known.unackedEnds.clear();
}

// The file's transfer goes on in a session of several: its memory is ready for it as for one
// sent alone.
void ExtendedSender::granted(const ext::Accept& accept, int granted) {
    add(ExtAction::Kind::StopWaiting);
    offered_ = false;
    extensionHeard();
    prepareMemory();
    ExtAction& handed = add(ExtAction::Kind::Granted, granted);
    handed.size = accept.cumulative;
    handed.extra = static_cast<std::int64_t>(accept.transfer);
}

void ExtendedSender::acceptedOffer(const ext::Accept& accept, std::int64_t nowUs,
                                   std::optional<ext::Session> session) {
    add(ExtAction::Kind::StopWaiting);
    offered_ = false;
    extensionHeard();
    prepareMemory();
    transfer_ = std::make_unique<Transfer>(accept.transfer, size_, settings_.piece,
                                           settings_.rateCap, nowUs);
    transfer_->session = std::move(session);
    transfer_->window.onAck(accept.cumulative, {}, nowUs);
    transfer_->startBytes = accept.cumulative;
    add(ExtAction::Kind::Accepted, accept.cumulative).size = size_;
    pumpIn(nowUs);
}

void ExtendedSender::prepareMemory() {
    TransferMemory& known = memory();
    // Plain positions mean nothing to the extension's transfer, nor the plain repairs.
    known.sentEnd = -1;
    known.ackedEnd = -1;
    known.unackedEnds.clear();
    known.mustReset = false;
    known.answeredOutOfRange = false;
    if (!known.digest || known.startStamp != plain_.headerStamp()) {
        // Changed since its transfer began: what was hashed is of another content. The server
        // may hold bytes of that one too; the digest at the end finds them out.
        known.startStamp = plain_.headerStamp();
        known.digest = std::make_shared<ext::RunningDigest>();
        known.fileDigest.reset();
    }
}

ExtendedSender::Actions ExtendedSender::datagram(std::string_view bytes, const std::string* first,
                                                 std::int64_t nowUs) {
    if (!bytes.empty() && bytes[0] == ext::kSealedStart) {
        sealedAnswer(bytes, first, nowUs);
        return take();
    }
    const auto frame = keyed() ? std::nullopt : ext::decode(bytes); // a keyed origin's are sealed
    if (frame && !transfer_ && lateVerdict(*frame, first)) {
        return take();
    }
    if (!frame || !transfer_ || frame->transfer != transfer_->transfer || first == nullptr) {
        ignore("an extended datagram of " + std::to_string(bytes.size()) +
               " bytes for no transfer under way");
        return take();
    }
    onFrame(*frame, nowUs);
    return take();
}

void ExtendedSender::onFrame(const ext::Frame& frame, std::int64_t nowUs) {
    transfer_->silentTimeouts = 0;
    extensionHeard();
    switch (frame.kind) {
    case ext::Kind::Ack:
        return acknowledged(frame, nowUs);
    case ext::Kind::Verified:
        if ((transfer_->finishing || transfer_->finishedEarly) &&
            frame.value == transfer_->window.size()) {
            done(nowUs);
        }
        return;
    case ext::Kind::Mismatch:
        return mismatch(nowUs);
    case ext::Kind::Unknown:
        // The server forgot the transfer (it restarted, or took another file from this origin,
        // or someone took its staging file away: then again and again).
        if (++memory().unknowns == kUnknownsShown) {
            add(ExtAction::Kind::CannotKeep);
        }
        leave();
        add(ExtAction::Kind::Announce, 0);
        return;
    default:
        return;
    }
}

void ExtendedSender::mismatch(std::int64_t nowUs) {
    add(ExtAction::Kind::SentAgain);
    transfer_->window.restart();
    transfer_->sentSinceRestart = 0;
    transfer_->finishing = false;
    transfer_->finishedEarly = false;
    pumpIn(nowUs);
}

// The final answer to this client's finish, come after it gave up waiting and announced the file
// again: the server verified the file against the digest this client sent, so it is done.
bool ExtendedSender::lateVerdict(const ext::Frame& frame, const std::string* first) {
    if (frame.kind != ext::Kind::Verified || first == nullptr) {
        return false;
    }
    const TransferMemory& known = plain_.memory(*first);
    if (known.transfer != frame.transfer || !known.fileDigest || frame.value != size_) {
        return false;
    }
    add(ExtAction::Kind::StopWaiting);
    offered_ = false;
    add(ExtAction::Kind::LateVerdict);
    return true;
}

void ExtendedSender::acknowledged(const ext::Frame& frame, std::int64_t nowUs) {
    const auto ranges = ext::ackRanges(frame);
    Transfer& t = *transfer_;
    const std::int64_t size = t.window.size();
    if (!ranges || frame.value > size || (!ranges->empty() && ranges->back().end > size)) {
        return;
    }
    if (t.finishing && frame.value < size && ++t.shortAnswers >= kShortAnswers) {
        // The server lacks bytes this client counts as acknowledged: an answer older than its
        // discarding a mismatched copy re-marked them. What it says now is what it holds.
        t.window.restart();
        t.sentSinceRestart = 0;
        t.finishing = false;
        t.finishedEarly = false;
        t.shortAnswers = 0;
    }
    // The same time for the window and the controller: the controller finds the piece a round
    // trip was measured on by its send time.
    const std::int64_t ackedBefore = t.window.ackedBytes();
    t.window.onAck(frame.value, *ranges, nowUs);
    adjustWindow(ackedBefore, nowUs);
    pumpIn(nowUs);
}

// An answer that acknowledged new bytes carries the round trip of the latest piece it settled.
void ExtendedSender::adjustWindow(std::int64_t ackedBefore, std::int64_t nowUs) {
    ext::SendWindow& window = transfer_->window;
    const std::int64_t piece = settings_.piece;
    const std::int64_t delivered = std::max<std::int64_t>(window.ackedBytes() - ackedBefore, 0);
    transfer_->congestion.onAck(ext::Congestion::Ack{delivered,
                                                     delivered > 0 ? window.latestRttUs() : 0,
                                                     window.inFlightBytes()},
                                nowUs);
    window.setWindowBytes(std::clamp(transfer_->congestion.windowBytes(),
                                     kSmallestWindowPieces * piece,
                                     std::max(kLargestWindowBytes, kSmallestWindowPieces * piece)));
}

ExtendedSender::Actions ExtendedSender::pump(std::int64_t nowUs) {
    pumpIn(nowUs);
    return take();
}

// The pieces the pace and the window release now, then the finish once every byte is held.
void ExtendedSender::pumpIn(std::int64_t nowUs) {
    if (!transfer_) {
        return;
    }
    Transfer& t = *transfer_;
    const auto length = file_.length();
    if (!length || *length != t.window.size()) {
        lost(length ? "its size changed during its transfer" : "it vanished");
        return;
    }
    ExtAction pieces{ExtAction::Kind::Pieces, 0, 0, 0, 0, {}, {}};
    bool paced = false;
    for (;;) {
        if (t.congestion.nextSendUs() > nowUs) {
            paced = true;
            break;
        }
        const auto piece = t.window.next(nowUs);
        if (!piece) {
            break;
        }
        pieces.pieces.push_back(*piece);
        sent(*piece, nowUs);
    }
    if (!pieces.pieces.empty()) {
        actions_.push_back(std::move(pieces));
    }
    if (paced) {
        pace(nowUs);
    }
    ExtAction& progress = add(ExtAction::Kind::Progress, t.window.cumulative());
    progress.size = t.window.size();
    progress.extra = t.window.ackedBytes();
    if (t.window.allAcked()) {
        finish(nowUs);
        return;
    }
    finishEarly();
    if (transfer_) {
        armTimeout(nowUs);
    }
}

std::size_t ExtendedSender::framePiece(char* frame, std::int64_t offset, std::size_t n) {
    char* body = frame + bodyAt();
    memory().digest->feed(offset, std::string_view(body, n));
    Transfer& t = *transfer_;
    if (t.session) {
        ext::Session& session = *t.session;
        const std::uint64_t sequence = ++session.sent;
        ext::sealInPlace(frame, ext::Kind::Data, t.transfer, offset, sequence, n,
                         session.send.at(sequence), session.aead);
    } else {
        ext::writeHead(frame, ext::Kind::Data, t.transfer, offset, n);
    }
    return datagramOf(n);
}

ExtendedSender::Actions ExtendedSender::unreadable() {
    if (transfer_) {
        lost("it cannot be read");
    }
    return take();
}

void ExtendedSender::sent(const ext::SendWindow::Piece& piece, std::int64_t nowUs) {
    std::int64_t& restarted = transfer_->sentSinceRestart;
    const bool firstSinceRestart = restarted >= 0 && piece.offset >= restarted;
    if (piece.again && !firstSinceRestart) {
        transfer_->congestion.onLoss(piece.length, nowUs);
    }
    if (restarted >= 0) {
        restarted = std::max(restarted, piece.offset + piece.length);
    }
    transfer_->congestion.onSent(piece.length, nowUs);
}

// Timers count in milliseconds: the controller lets a sender woken late catch up on its pace.
void ExtendedSender::pace(std::int64_t nowUs) {
    const std::int64_t waitMs = (transfer_->congestion.nextSendUs() - nowUs + 999) / 1000;
    add(ExtAction::Kind::PaceIn, std::clamp<std::int64_t>(waitMs, 1, 1000));
}

// Every byte is acknowledged: the file's digest, once the file is known unchanged, asks the
// server for its verdict.
void ExtendedSender::finish(std::int64_t nowUs) {
    Transfer& t = *transfer_;
    if (t.finishing) {
        return;
    }
    TransferMemory& known = memory();
    if (!digestReady(known)) {
        return;
    }
    if (file_.stamp() != known.startStamp) {
        lost("it changed during its transfer");
        return;
    }
    t.finishing = true;
    // The server reads the file back and syncs it before it answers: give it time.
    t.finishWaitUs = std::max<std::int64_t>(4 * t.window.smoothedRttUs(), 200'000);
    sendFinish(nowUs);
}

// The finish goes right behind the last new piece: a server that holds every byte by then gives
// its verdict a round trip sooner than to a finish sent once every answer is back. One that lacks
// some answers with what it holds, and the finish goes again once every byte is acknowledged.
void ExtendedSender::finishEarly() {
    Transfer& t = *transfer_;
    if (t.finishing || t.finishedEarly || !t.window.allSent()) {
        return;
    }
    TransferMemory& known = memory();
    if (!digestReady(known)) {
        return;
    }
    t.finishedEarly = true;
    if (file_.stamp() == known.startStamp) {
        addFinish();
    }
}

// Hashes what is left in steps, the event loop turning between them; false until done.
bool ExtendedSender::digestReady(TransferMemory& known) {
    if (known.fileDigest) {
        return true;
    }
    const std::int64_t size = transfer_->window.size();
    const bool read = known.digest->catchUp(size, kDigestStepBytes,
                                            [this](char* into, std::size_t n, std::int64_t offset) {
                                                return file_.read(into, n, offset);
                                            });
    if (!read) {
        lost("it cannot be read");
        return false;
    }
    if (known.digest->done() < size) {
        add(ExtAction::Kind::Step, static_cast<std::int64_t>(transfer_->transfer));
        return false;
    }
    known.fileDigest = known.digest->finish();
    return true;
}

ExtendedSender::Actions ExtendedSender::step(std::int64_t transfer, std::int64_t nowUs) {
    if (transfer_ && static_cast<std::int64_t>(transfer_->transfer) == transfer) {
        pumpIn(nowUs);
    }
    return take();
}

void ExtendedSender::sendFinish(std::int64_t nowUs) {
    addFinish();
    transfer_->finishDueUs = nowUs + transfer_->finishWaitUs;
    armTimeout(nowUs);
}

void ExtendedSender::addFinish() {
    Transfer& t = *transfer_;
    const ext::Digest& digest = *memory().fileDigest;
    const std::string_view body(reinterpret_cast<const char*>(digest.data()), digest.size());
    if (t.session) {
        const std::uint64_t sequence = ++t.session->sent;
        ext::seal(ext::Kind::Finish, t.transfer, t.window.size(), sequence, body,
                  t.session->send.at(sequence), t.session->aead, frame_);
    } else {
        ext::encode(ext::Kind::Finish, t.transfer, t.window.size(), body, frame_);
    }
    add(ExtAction::Kind::Send).text = frame_;
}

std::int64_t ExtendedSender::dueUs() const {
    return transfer_->finishing ? transfer_->finishDueUs : transfer_->window.deadlineUs();
}

void ExtendedSender::armTimeout(std::int64_t nowUs) {
    const std::int64_t due = dueUs();
    if (due < 0) {
        add(ExtAction::Kind::TimeoutOff);
        return;
    }
    const std::int64_t waitMs = (std::max<std::int64_t>(due - nowUs, 0) + 999) / 1000;
    add(ExtAction::Kind::TimeoutIn, std::max<std::int64_t>(waitMs, 1));
}

// No answer for a while: pieces are sent again, and after a few timeouts without any answer the
// header, whose answer says where the server stands (it may have restarted).
ExtendedSender::Actions ExtendedSender::wakeTimeout(std::int64_t nowUs) {
    if (!transfer_) {
        return take();
    }
    const std::int64_t due = dueUs();
    if (due < 0 || nowUs < due) {
        armTimeout(nowUs);
        return take();
    }
    silentTimeout(nowUs);
    return take();
}

void ExtendedSender::silentTimeout(std::int64_t nowUs) {
    Transfer& t = *transfer_;
    if (t.silentTimeouts == 0) {
        add(ExtAction::Kind::Silent);
    }
    if (++t.silentTimeouts > (t.finishing ? kSilentFinishes : kSilentTimeouts)) {
        leave();
        add(ExtAction::Kind::Announce, 1);
        return;
    }
    if (t.finishing) {
        t.finishWaitUs = std::min(2 * t.finishWaitUs, kLongestFinishWaitUs);
        sendFinish(nowUs);
        return;
    }
    t.window.onDeadline(nowUs);
    pumpIn(nowUs);
}

void ExtendedSender::leave() {
    transfer_.reset();
    offered_ = false;
}

void ExtendedSender::done(std::int64_t nowUs) {
    const Transfer& t = *transfer_;
    ExtAction& verified = add(ExtAction::Kind::Verified, t.startBytes);
    verified.size = t.window.size();
    verified.extra = t.window.sentAgainBytes();
    verified.elapsedUs = std::max<std::int64_t>(nowUs - t.startedUs, 1);
    leave();
}

// The file cannot go on as it was: its transfer is forgotten, so it starts anew under another
// identity once it can be sent again.
void ExtendedSender::lost(std::string why) {
    leave();
    plain_.forget(name_);
    add(ExtAction::Kind::Lost).text = std::move(why);
}

bool answersAnOffer(std::string_view bytes) {
    const auto at = fieldStart(bytes, 3);
    return at && bytes.substr(*at).starts_with("ZX");
}

} // namespace zelk
