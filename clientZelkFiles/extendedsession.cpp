#include "extendedsession.h"

#include "codec.h"
#include "keyedtransfer.h"

#include <sodium.h>

#include <algorithm>
#include <limits>

namespace zelk {

struct ExtendedSession::Transfer {
    std::uint64_t id = 0;
    std::string name;
    std::int64_t size = 0;
    std::optional<FileStamp> startStamp;
    std::shared_ptr<ext::RunningDigest> digest;
    std::optional<ext::Digest> fileDigest;
    std::optional<ext::SendWindow> window; // once the server accepted, or for a first flight
    bool early = false;                    // the window holds a first flight: no acceptance yet
    std::int64_t earlyBytes = 0;           // the most a first flight sends
    std::int64_t earlySent = 0;            // sent before the acceptance
    bool finishedEarly = false;            // a finish went right behind the last piece
    bool ended = false;
    std::int64_t checkedUs = -1; // when its file was last looked at
    int offers = 0;              // headers sent since the latest acceptance
    std::int64_t offerDueUs = -1;
    std::int64_t offeredUs = -1; // the latest offer
    int unknowns = 0;            // times the server forgot it
    std::int64_t startedUs = -1;
    std::int64_t startBytes = 0;
    bool finishing = false;
    std::int64_t finishDueUs = -1;
    std::int64_t finishWaitUs = 0;
    int silentTimeouts = 0;
    int shortAnswers = 0;
    std::int64_t sentSinceRestart = -1;
    std::unique_ptr<KeyedTransfer> keyed; // a keyed origin's handshake and keys
};

ExtendedSession::ExtendedSession(ExtFiles& files, ExtRandom random)
    : files_(files), random_(std::move(random)), frame_(ext::kLargestDatagram, '\0') {}

ExtendedSession::~ExtendedSession() {
    setKey(std::nullopt);
}

// The transfers under way keep their own keys: only new offers use the new key.
void ExtendedSession::setKey(std::optional<ext::Key> key) {
    if (key_) {
        sodium_memzero(key_->data(), key_->size());
    }
    key_ = key;
}

// Transfers ended during the call are forgotten only now: their actions name them until then.
ExtendedSession::Actions ExtendedSession::take() {
    std::erase_if(transfers_, [](const auto& entry) { return entry.second->ended; });
    if (transfers_.empty() && !kept_) {
        kept_ = limit_ > 1 && congestion_ && released_.empty();
        if (!kept_) {
            forgetPath();
        }
    } else if (!transfers_.empty()) {
        kept_ = false;
        idleSinceUs_ = -1;
    }
    Actions out;
    out.swap(actions_);
    return out;
}

SessionAction& ExtendedSession::add(SessionAction::Kind kind, const Transfer* t) {
    actions_.push_back(SessionAction{kind, 0, {}, 0, 0, 0, 0, {}, std::nullopt, {}});
    if (t != nullptr) {
        actions_.back().transfer = t->id;
        actions_.back().name = t->name;
    }
    return actions_.back();
}

ExtendedSession::Transfer* ExtendedSession::find(std::uint64_t transfer) {
    const auto it = transfers_.find(transfer);
    return it == transfers_.end() || it->second->ended ? nullptr : it->second.get();
}

// Asked of every listed file each time a transfer ends: by name, not by walking the transfers.
bool ExtendedSession::holds(const std::string& name) const {
    return held_.contains(name);
}

void ExtendedSession::end(Transfer& t) {
    if (!t.ended) {
        if (const auto it = held_.find(t.name); it != held_.end()) {
            held_.erase(it);
        }
    }
    t.ended = true;
}

void ExtendedSession::forgetPath() {
    congestion_.reset();
    released_.clear();
    secrets_.forget();
    kept_ = false;
    idleSinceUs_ = -1;
}

void ExtendedSession::idle(std::int64_t nowUs) {
    if (transfers_.empty() && kept_ && idleSinceUs_ < 0) {
        idleSinceUs_ = nowUs;
    }
}

bool ExtendedSession::lingering(std::int64_t nowUs) {
    if (!transfers_.empty() || !kept_) {
        return false;
    }
    if (idleSinceUs_ >= 0 && nowUs - idleSinceUs_ >= kLingerUs) {
        forgetPath();
        limit_ = 1;
        return false;
    }
    return true;
}

void ExtendedSession::clear() {
    transfers_.clear();
    pathRtt_.reset();
    held_.clear();
    secrets_.forget();
    congestion_.reset();
    released_.clear();
    actions_.clear();
    limit_ = 1;
    kept_ = false;
    idleSinceUs_ = -1;
}

ExtendedSession::Actions ExtendedSession::adopt(const std::string& name, std::int64_t size,
                                                const ext::Accept& accept, int granted,
                                                std::shared_ptr<ext::RunningDigest> digest,
                                                std::optional<FileStamp> startStamp,
                                                std::int64_t nowUs,
                                                std::optional<HandedKeys> sealed) {
    limit_ = std::clamp(granted, 1, std::max(settings_.most, 1));
    auto t = std::make_unique<Transfer>();
    t->id = accept.transfer;
    t->name = name;
    t->size = size;
    t->startStamp = startStamp;
    t->digest = digest ? std::move(digest) : std::make_shared<ext::RunningDigest>();
    Transfer& taken = *t;
    held_.insert(t->name);
    transfers_[t->id] = std::move(t);
    if (key_ && !sealed) {
        // Nothing may go in clear: its own handshake first.
        taken.keyed = std::make_unique<KeyedTransfer>(random_);
        reoffer(taken, nowUs);
    } else {
        if (sealed) {
            taken.keyed = std::make_unique<KeyedTransfer>(std::move(sealed->session));
            SessionSecret first{accept.transfer, sealed->resume, sealed->session.aead, 0};
            secrets_.forget();
            secrets_.took(first);
            first.wipe();
            sodium_memzero(sealed->resume.data(), sealed->resume.size());
        }
        accepted(taken, accept.cumulative, nowUs);
    }
    pumpIn(nowUs);
    return take();
}

ExtendedSession::Actions ExtendedSession::offerFrom(const std::vector<std::string>& names,
                                                    std::int64_t nowUs) {
    if (!active() && !lingering(nowUs)) {
        return take(); // only a grant opens a session
    }
    bool flights = false;
    for (const std::string& name : names) {
        if (underWay() >= limit_) {
            break;
        }
        if (!holds(name) && !released_.contains(name)) {
            flights = offer(name, nowUs) || flights;
        }
    }
    if (flights) {
        pumpIn(nowUs); // the first pieces leave with their offers
    } else {
        armTimeout(nowUs);
    }
    return take();
}

bool ExtendedSession::offer(const std::string& name, std::int64_t nowUs) {
    const auto length = files_.length(name);
    const auto stamp = files_.stamp(name);
    if (!length || !stamp || *length == 0 || *length > kLargestFile) {
        return false; // left to the one-at-a-time path, which knows what to tell of it
    }
    auto t = std::make_unique<Transfer>();
    do {
        t->id = random_.identity();
    } while (t->id == 0 || transfers_.contains(t->id));
    t->name = name;
    t->size = *length;
    t->startStamp = stamp;
    t->digest = std::make_shared<ext::RunningDigest>();
    if (key_) {
        const SessionSecret* from = secrets_.forOffer();
        t->keyed = from != nullptr ? std::make_unique<KeyedTransfer>(random_, *from)
                                   : std::make_unique<KeyedTransfer>(random_);
    }
    Transfer& offered = *t;
    held_.insert(t->name);
    transfers_[t->id] = std::move(t);
    sendOffer(offered, nowUs);
    return startFirstFlight(offered);
}

// Only the first offer carries pieces: one that goes again found no answer, and its pieces wait
// for the acceptance, which says what the server holds. Only a server that granted a session
// (and still grants more than one) is sent pieces it has not accepted yet.
bool ExtendedSession::startFirstFlight(Transfer& t) {
    if (settings_.firstFlight <= 0 || limit_ <= 1 || !congestion_ || !earlyKeys(t)) {
        return false;
    }
    newWindow(t);
    t.window->setWindowBytes(windowBytes());
    t.early = true;
    t.earlyBytes = std::min<std::int64_t>(t.size, settings_.firstFlight * settings_.piece);
    t.earlySent = 0;
    return true;
}

// One path for all the transfers: a new one starts from the round trip the others measured.
void ExtendedSession::newWindow(Transfer& t) {
    t.window.emplace(t.size, settings_.piece, 16 * settings_.piece);
    if (pathRtt_) {
        t.window->seedRtt(pathRtt_->first, pathRtt_->second);
    }
}

// A first flight's window was made before the path showed any round trip: on the acceptance it
// takes the one the other transfers measured, or, for the first ones, the offer's own (an offer
// sent once). Pieces of it lost on the way are then sent again within a round trip or two rather
// than after the probe timeout of a path it knew nothing of.
void ExtendedSession::seedRtt(Transfer& t, std::int64_t nowUs) {
    if (t.window->rttSampled()) {
        return;
    }
    if (pathRtt_) {
        t.window->seedRtt(pathRtt_->first, pathRtt_->second);
    } else if (t.offers == 1 && t.offeredUs >= 0 && nowUs > t.offeredUs) {
        t.window->seedRtt(nowUs - t.offeredUs, (nowUs - t.offeredUs) / 2);
    }
}

// The server did not know the transfer when a piece came (its offer was lost or came behind):
// what went is not held, and the acceptance starts the window afresh.
void ExtendedSession::dropFirstFlight(Transfer& t) {
    t.window.reset();
    t.early = false;
    t.finishedEarly = false;
}

bool ExtendedSession::flightFull(const Transfer& t) const {
    return t.early && t.earlySent >= t.earlyBytes;
}

// Every offer asks for as many transfers: a header that does not ask would leave the origin one.
void ExtendedSession::sendOffer(Transfer& t, std::int64_t nowUs) {
    ++t.offers;
    t.offeredUs = nowUs;
    t.offerDueUs = nowUs + kOfferWaitUs * t.offers;
    const bool sealed = t.keyed && key_;
    // A keyed header names no file in clear: its name and size go sealed.
    const std::int64_t size = sealed ? ext::kSealedSize : t.size;
    std::string fields = ext::offerField(ext::Offer{t.id, size}) + ';';
    if (sealed) {
        fields += keyedField(t) + ';';
    }
    fields += ext::multiField(std::clamp(settings_.most, 1, ext::kMostTransfersAsked));
    add(SessionAction::Kind::Send).text =
        buildHeaderFrame(settings_.origin, sealed ? std::string(ext::kSealedName) : t.name,
                         ext::plainSizeText(size), fields);
    add(SessionAction::Kind::Offered, &t);
}

bool ExtendedSession::ownsAnswer(std::string_view bytes) const {
    const auto challenge = key_ ? ext::findChallenge(bytes) : std::nullopt;
    const auto accept = ext::findAccept(bytes);
    if (!accept && !challenge) {
        return false;
    }
    const auto it = transfers_.find(accept ? accept->transfer : challenge->transfer);
    return it != transfers_.end() && !it->second->ended;
}

ExtendedSession::Actions ExtendedSession::answer(std::string_view bytes, std::int64_t nowUs) {
    if (key_) {
        keyedAnswer(bytes, nowUs);
        pumpIn(nowUs);
        return take();
    }
    const auto accept = ext::findAccept(bytes);
    Transfer* t = accept ? find(accept->transfer) : nullptr;
    if (t == nullptr || (t->window && !t->early) || accept->cumulative > t->size) {
        // A copy of an acceptance already taken, or one for a transfer the session left.
        add(SessionAction::Kind::Ignored).text = std::string(bytes) + ": accepts no offer waiting";
        return take();
    }
    if (const auto granted = ext::findGrant(bytes)) {
        limit_ = std::clamp(*granted, 1, std::max(settings_.most, 1));
    }
    accepted(*t, accept->cumulative, nowUs);
    pumpIn(nowUs);
    return take();
}

void ExtendedSession::accepted(Transfer& t, std::int64_t cumulative, std::int64_t nowUs) {
    if (!congestion_) {
        congestion_.emplace(settings_.piece, settings_.rateCap, static_cast<std::uint32_t>(t.id));
    }
    if (!t.early) {
        newWindow(t);
        t.finishing = false;
        t.finishedEarly = false;
    }
    // A first flight whose offer had to go again went to a server that did not know the
    // transfer, which drops sealed pieces unanswered: sent again, they are no sign of congestion.
    const bool flightRefused = t.early && t.offers > 1 && t.window->ackedBytes() == 0;
    t.early = false; // the first flight's pieces stay in flight, answered as any others
    seedRtt(t, nowUs);
    t.window->onAck(cumulative, {}, nowUs);
    t.window->setWindowBytes(windowBytes());
    t.offers = 0;
    t.offerDueUs = -1;
    t.silentTimeouts = 0;
    t.shortAnswers = 0;
    t.sentSinceRestart = -1;
    if (flightRefused) {
        t.window->restart();
        t.sentSinceRestart = 0;
    }
    if (t.startedUs < 0) {
        t.startedUs = nowUs;
        t.startBytes = cumulative;
    }
    SessionAction& a = add(SessionAction::Kind::Accepted, &t);
    a.value = cumulative;
    a.size = t.size;
}

ExtendedSession::Actions ExtendedSession::datagram(std::string_view bytes, std::int64_t nowUs) {
    if (key_) {
        sealedDatagram(bytes, nowUs);
        return take();
    }
    const auto frame = ext::decode(bytes);
    Transfer* t = frame ? find(frame->transfer) : nullptr;
    if (t == nullptr) {
        add(SessionAction::Kind::Ignored).text = "an extended datagram of " +
                                                 std::to_string(bytes.size()) +
                                                 " bytes for no transfer under way";
        return take();
    }
    onFrame(*t, *frame, nowUs);
    pumpIn(nowUs);
    return take();
}

void ExtendedSession::onFrame(Transfer& t, const ext::Frame& frame, std::int64_t nowUs) {
    t.silentTimeouts = 0;
    const bool whole = frame.value == t.size;
    switch (frame.kind) {
    case ext::Kind::Ack:
        if (t.window) {
            acknowledged(t, frame, nowUs);
        }
        return;
    case ext::Kind::Verified:
        // Also after the file was offered again: the server checked it against the digest sent.
        if (whole && t.fileDigest && (t.finishing || t.finishedEarly || !t.window)) {
            done(t, nowUs);
        }
        return;
    case ext::Kind::Mismatch:
        if (t.window && (t.finishing || t.finishedEarly)) {
            mismatch(t);
        }
        return;
    case ext::Kind::Unknown:
        if (t.early) {
            dropFirstFlight(t);
            return;
        }
        // The server forgot the transfer (it restarted, or gave the row to another file).
        if (t.window && ++t.unknowns < kOfferTries) {
            reoffer(t, nowUs);
        } else if (t.window) {
            release(t);
        }
        return;
    default:
        return;
    }
}

void ExtendedSession::acknowledged(Transfer& t, const ext::Frame& frame, std::int64_t nowUs) {
    const auto ranges = ext::ackRanges(frame);
    ext::SendWindow& window = *t.window;
    if (!ranges || frame.value > t.size || (!ranges->empty() && ranges->back().end > t.size)) {
        return;
    }
    if (t.finishing && frame.value < t.size && ++t.shortAnswers >= ExtendedSender::kShortAnswers) {
        // The server lacks bytes this client counts as acknowledged: what it says now is what it
        // holds.
        window.restart();
        t.sentSinceRestart = 0;
        t.finishing = false;
        t.finishedEarly = false;
        t.shortAnswers = 0;
    }
    const std::int64_t before = window.ackedBytes();
    window.onAck(frame.value, *ranges, nowUs);
    if (window.rttSampled()) {
        pathRtt_ = {window.smoothedRttUs(), window.rttVariationUs()};
    }
    const std::int64_t delivered = std::max<std::int64_t>(window.ackedBytes() - before, 0);
    ackedBytes_ += delivered;
    congestion_->onAck(
        ext::Congestion::Ack{delivered, delivered > 0 ? window.latestRttUs() : 0, inFlight()},
        nowUs);
    const std::int64_t each = windowBytes();
    for (auto& entry : transfers_) {
        if (entry.second->window) {
            entry.second->window->setWindowBytes(each);
        }
    }
}

void ExtendedSession::mismatch(Transfer& t) {
    add(SessionAction::Kind::SentAgain, &t);
    t.window->restart();
    t.sentSinceRestart = 0;
    t.finishing = false;
    t.finishedEarly = false;
    t.shortAnswers = 0;
}

ExtendedSession::Actions ExtendedSession::wakePace(std::int64_t nowUs) {
    pumpIn(nowUs);
    return take();
}

std::int64_t ExtendedSession::inFlight() const {
    std::int64_t bytes = 0;
    for (const auto& entry : transfers_) {
        if (entry.second->window && !entry.second->ended) {
            bytes += entry.second->window->inFlightBytes();
        }
    }
    return bytes;
}

// The shared window, within what the server's ranges of one transfer were sized for.
std::int64_t ExtendedSession::windowBytes() const {
    const std::int64_t least = kSmallestWindowPieces * settings_.piece;
    const std::int64_t window = congestion_ ? congestion_->windowBytes() : least;
    return std::clamp(window, least, std::max(kLargestWindowBytes, least));
}

// The pieces the pace and the shared window release now, one transfer after another, then the
// finish of each transfer whose every byte is held.
void ExtendedSession::pumpIn(std::int64_t nowUs) {
    // A file's length is looked at once in a while, not at every answer: with a hundred files
    // under way that was a hundred look-ups a datagram, enough to leave answers waiting in the
    // socket for tens of milliseconds. Every piece read looks at it anyway, and the stamp is
    // checked again before the finish and before the file is deleted.
    for (auto& entry : transfers_) {
        Transfer& t = *entry.second;
        if (!t.ended && t.window && (t.checkedUs < 0 || nowUs - t.checkedUs >= kCheckFileUs)) {
            t.checkedUs = nowUs;
            checkFile(t);
        }
    }
    const bool paced = congestion_ && sendRound(nowUs);
    if (paced) {
        const std::int64_t waitMs = (congestion_->nextSendUs() - nowUs + 999) / 1000;
        add(SessionAction::Kind::PaceIn).value = std::clamp<std::int64_t>(waitMs, 1, 1000);
    }
    for (auto& entry : transfers_) {
        Transfer& t = *entry.second;
        if (!t.ended && t.window && t.window->allAcked()) {
            finish(t, nowUs);
        } else if (!t.ended && t.window) {
            finishEarly(t);
        }
    }
    progress();
    armTimeout(nowUs);
}

bool ExtendedSession::checkFile(Transfer& t) {
    const auto length = files_.length(t.name);
    if (!length || *length != t.size) {
        lost(t, length ? "its size changed during its transfer" : "it vanished");
        return false;
    }
    return true;
}

// In turn, a piece of each transfer that has one, while the pace and the shared window allow:
// true when the pace stopped it.
bool ExtendedSession::sendRound(std::int64_t nowUs) {
    const std::int64_t window =
        std::max(congestion_->windowBytes(), kSmallestWindowPieces * settings_.piece);
    std::int64_t flying = inFlight();
    for (;;) {
        bool any = false;
        auto it = transfers_.upper_bound(turn_);
        for (std::size_t seen = 0; seen < transfers_.size(); ++seen, ++it) {
            if (it == transfers_.end()) {
                it = transfers_.begin();
            }
            if (congestion_->nextSendUs() > nowUs) {
                return true;
            }
            if (flying >= window) {
                return false;
            }
            Transfer& t = *it->second;
            if (t.ended || !t.window || t.finishing || flightFull(t)) {
                continue;
            }
            const auto piece = t.window->next(nowUs);
            if (!piece) {
                continue;
            }
            if (actions_.empty() || actions_.back().kind != SessionAction::Kind::Pieces ||
                actions_.back().transfer != t.id) {
                add(SessionAction::Kind::Pieces, &t);
            }
            actions_.back().pieces.push_back(*piece);
            sent(t, *piece, nowUs);
            t.earlySent += t.early ? piece->length : 0;
            flying += piece->length;
            turn_ = t.id;
            any = true;
        }
        if (!any) {
            return false;
        }
    }
}

void ExtendedSession::sent(Transfer& t, const ext::SendWindow::Piece& piece, std::int64_t nowUs) {
    std::int64_t& restarted = t.sentSinceRestart;
    const bool firstSinceRestart = restarted >= 0 && piece.offset >= restarted;
    // Before its acceptance a piece lost may be its offer's loss, not the path's.
    if (piece.again && !firstSinceRestart && !t.early) {
        congestion_->onLoss(piece.length, nowUs);
    }
    if (restarted >= 0) {
        restarted = std::max(restarted, piece.offset + piece.length);
    }
    congestion_->onSent(piece.length, nowUs);
}

std::size_t ExtendedSession::framePiece(std::uint64_t transfer, char* frame, std::int64_t offset,
                                        std::size_t n) {
    const auto it = transfers_.find(transfer);
    if (it == transfers_.end()) {
        return 0;
    }
    Transfer& t = *it->second;
    t.digest->feed(offset, std::string_view(frame + bodyAt(), n));
    if (t.keyed) {
        return t.keyed->sealPiece(frame, transfer, offset, n);
    }
    ext::writeHead(frame, ext::Kind::Data, transfer, offset, n);
    return datagramOf(n);
}

ExtendedSession::Actions ExtendedSession::unreadable(std::uint64_t transfer) {
    if (Transfer* t = find(transfer)) {
        lost(*t, "it cannot be read");
    }
    return take();
}

void ExtendedSession::finish(Transfer& t, std::int64_t nowUs) {
    if (t.finishing || !digestReady(t)) {
        return;
    }
    if (files_.stamp(t.name) != t.startStamp) {
        lost(t, "it changed during its transfer");
        return;
    }
    t.finishing = true;
    t.finishWaitUs = std::max<std::int64_t>(4 * t.window->smoothedRttUs(), 200'000);
    if (t.finishedEarly) {
        // Its verdict is on the way: the finish goes again only if it does not come.
        t.finishDueUs = nowUs + t.finishWaitUs;
        return;
    }
    sendFinish(t, nowUs);
}

// A file whole in its first flight has its finish right behind its pieces: a server that took
// them all gives its verdict within the round trip of the offer. One that lacks some answers
// with what it holds, and the finish goes again once every byte is acknowledged.
void ExtendedSession::finishEarly(Transfer& t) {
    if (!t.early || t.earlyBytes < t.size || t.finishedEarly || t.finishing ||
        !t.window->allSent() || !digestReady(t)) {
        return;
    }
    t.finishedEarly = true;
    if (files_.stamp(t.name) == t.startStamp) {
        addFinish(t);
    }
}

// Hashes what is left in steps, the event loop turning between them; false until done.
bool ExtendedSession::digestReady(Transfer& t) {
    if (t.fileDigest) {
        return true;
    }
    const bool read = t.digest->catchUp(t.size, kDigestStepBytes,
                                        [this, &t](char* into, std::size_t n, std::int64_t offset) {
                                            return files_.read(t.name, into, n, offset);
                                        });
    if (!read) {
        lost(t, "it cannot be read");
        return false;
    }
    if (t.digest->done() < t.size) {
        add(SessionAction::Kind::Step, &t);
        return false;
    }
    t.fileDigest = t.digest->finish();
    return true;
}

ExtendedSession::Actions ExtendedSession::step(std::uint64_t transfer, std::int64_t nowUs) {
    if (find(transfer) != nullptr) {
        pumpIn(nowUs);
    }
    return take();
}

void ExtendedSession::sendFinish(Transfer& t, std::int64_t nowUs) {
    addFinish(t);
    t.finishDueUs = nowUs + t.finishWaitUs;
}

void ExtendedSession::addFinish(Transfer& t) {
    const ext::Digest& digest = *t.fileDigest;
    const std::string_view body(reinterpret_cast<const char*>(digest.data()), digest.size());
    if (t.keyed) {
        t.keyed->seal(ext::Kind::Finish, t.id, t.size, body, frame_);
    } else {
        ext::encode(ext::Kind::Finish, t.id, t.size, body, frame_);
    }
    add(SessionAction::Kind::Send, &t).text = frame_;
}

std::int64_t ExtendedSession::dueUs(const Transfer& t) const {
    if (!t.window || t.early) {
        return t.offerDueUs;
    }
    return t.finishing ? t.finishDueUs : t.window->deadlineUs();
}

void ExtendedSession::armTimeout(std::int64_t nowUs) {
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    for (const auto& entry : transfers_) {
        const std::int64_t at = entry.second->ended ? -1 : dueUs(*entry.second);
        if (at >= 0) {
            due = std::min(due, at);
        }
    }
    if (due == std::numeric_limits<std::int64_t>::max()) {
        add(SessionAction::Kind::TimeoutOff);
        return;
    }
    const std::int64_t waitMs = (std::max<std::int64_t>(due - nowUs, 0) + 999) / 1000;
    add(SessionAction::Kind::TimeoutIn).value = std::max<std::int64_t>(waitMs, 1);
}

ExtendedSession::Actions ExtendedSession::wakeTimeout(std::int64_t nowUs) {
    for (auto& entry : transfers_) {
        Transfer& t = *entry.second;
        const std::int64_t due = t.ended ? -1 : dueUs(t);
        if (due >= 0 && due <= nowUs) {
            timedOut(t, nowUs);
        }
    }
    pumpIn(nowUs);
    return take();
}

// No answer for a while: the offer goes again, or the finish, or pieces; after a few timeouts
// without any answer the offer, whose answer says where the server stands.
void ExtendedSession::timedOut(Transfer& t, std::int64_t nowUs) {
    const bool offered = !t.window || t.early;
    if ((offered ? t.offers - 1 : t.silentTimeouts) == 0) {
        add(SessionAction::Kind::Silent, &t);
    }
    if (offered) {
        dropFirstFlight(t);
        if (t.keyed && t.keyed->resumes() != 0 && t.offers >= kResumedTries) {
            resumeFailed(t);
        }
        if (t.offers >= kOfferTries) {
            release(t);
        } else {
            sendOffer(t, nowUs);
        }
        return;
    }
    if (++t.silentTimeouts > (t.finishing ? kSilentFinishes : kSilentTimeouts)) {
        reoffer(t, nowUs);
        return;
    }
    if (t.finishing) {
        t.finishWaitUs = std::min(2 * t.finishWaitUs, kLongestFinishWaitUs);
        sendFinish(t, nowUs);
        return;
    }
    t.window->onDeadline(nowUs);
}

// The same identity again: the server resumes the transfer where its copy stands. The file's
// digest stays, so a verdict that comes late still finishes it.
void ExtendedSession::reoffer(Transfer& t, std::int64_t nowUs) {
    if (t.keyed) {
        t.keyed->restart(random_); // the server may have lost the transfer's keys
    }
    dropFirstFlight(t);
    t.finishing = false;
    t.offers = 0;
    sendOffer(t, nowUs);
}

void ExtendedSession::done(Transfer& t, std::int64_t nowUs) {
    SessionAction& verified = add(SessionAction::Kind::Verified, &t);
    verified.value = t.startBytes;
    verified.size = t.size;
    verified.extra = t.window ? t.window->sentAgainBytes() : 0;
    verified.elapsedUs = std::max<std::int64_t>(nowUs - t.startedUs, 1);
    verified.stamp = t.startStamp;
    verified.text = ext::digestHex(*t.fileDigest);
    end(t);
}

// The one-at-a-time path takes the file up again, and knows what to tell of it.
void ExtendedSession::lost(Transfer& t, std::string why) {
    add(SessionAction::Kind::Lost, &t).text = std::move(why);
    released_.insert(t.name);
    end(t);
}

void ExtendedSession::release(Transfer& t) {
    add(SessionAction::Kind::Released, &t);
    released_.insert(t.name);
    end(t);
}

void ExtendedSession::progress() {
    int open = 0;
    for (const auto& entry : transfers_) {
        open += entry.second->ended ? 0 : 1;
    }
    SessionAction& p = add(SessionAction::Kind::Progress);
    p.value = open;
    p.extra = ackedBytes_;
}

// --- Keyed origins -------------------------------------------------------------------------

// An answer that proves nothing is no answer: the offer goes again when its wait runs out.
void ExtendedSession::keyedAnswer(std::string_view bytes, std::int64_t nowUs) {
    if (const auto challenge = ext::findChallenge(bytes)) {
        Transfer* t = find(challenge->transfer);
        if (t == nullptr || (t->window && !t->early) || !t->keyed) {
            add(SessionAction::Kind::Ignored).text = "a challenge for no offer waiting";
        } else if (!t->keyed->challenge(*key_, {settings_.origin, t->id, t->size, t->name},
                                        *challenge)) {
            add(SessionAction::Kind::KeyUnproven, t).text =
                "a challenge that does not prove the key";
        } else {
            t->offers = 0; // the server is there: the offer with this client's proof waits anew
            sendOffer(*t, nowUs);
        }
        return;
    }
    if (const auto proven = ext::findProvenAccept(bytes)) {
        provenAccept(bytes, *proven, nowUs);
        return;
    }
    add(SessionAction::Kind::KeyUnproven).text =
        "an answer without a proof of the key: the server has no key for this origin, or does not "
        "know keys";
}

void ExtendedSession::provenAccept(std::string_view bytes, const ext::ProvenAccept& proven,
                                   std::int64_t nowUs) {
    Transfer* t = find(proven.accept.transfer);
    if (t == nullptr || (t->window && !t->early) || !t->keyed) {
        add(SessionAction::Kind::Ignored).text = std::string(bytes) + ": accepts no offer waiting";
        return;
    }
    if (!t->keyed->accept(*key_, {settings_.origin, t->id, t->size, t->name}, proven,
                          secrets_.find(t->keyed->resumes()))) {
        add(SessionAction::Kind::KeyUnproven, t).text = "an acceptance that does not prove the key";
        return;
    }
    if (auto secret = t->keyed->takeSecret()) {
        secrets_.took(*secret); // the session's later transfers need no handshake
        secret->wipe();
    }
    if (const auto granted = ext::findGrant(bytes)) {
        limit_ = std::clamp(*granted, 1, std::max(settings_.most, 1));
    }
    accepted(*t, proven.accept.cumulative, nowUs);
}

// Only what opens under a transfer's own keys, and once, moves it: nothing in clear does.
void ExtendedSession::sealedDatagram(std::string_view bytes, std::int64_t nowUs) {
    const auto head = ext::sealedHead(bytes);
    Transfer* t = head ? find(head->transfer) : nullptr;
    if (t == nullptr || !t->keyed || !t->keyed->sealing()) {
        add(SessionAction::Kind::Ignored).text = "a datagram of " + std::to_string(bytes.size()) +
                                                 " bytes for no sealed transfer under way";
        return;
    }
    const auto frame = t->keyed->open(bytes, opened_);
    if (!frame) {
        add(SessionAction::Kind::Ignored).text =
            "a sealed datagram that fails authentication, or seen already";
        return;
    }
    onFrame(*t, *frame, nowUs);
    pumpIn(nowUs);
}

// A later transfer of the session offers without a handshake while the session's secret is
// there; the secret gone (the server lost it), it proves the key in a handshake of its own.
std::string ExtendedSession::keyedField(Transfer& t) {
    const KeyedTransfer::Offer offer{settings_.origin, t.id, t.size, t.name};
    if (const SessionSecret* from = secrets_.find(t.keyed->resumes())) {
        return t.keyed->resumeField(*from, offer);
    }
    if (t.keyed->resumes() != 0) {
        t.keyed->restart(random_);
    }
    return t.keyed->helloField(*key_, offer);
}

// A keyed transfer's first pieces go only under keys the client derives alone: those of an offer
// under the session's secret, which only this client and the server that shares it hold. A
// handshake's keys exist only once the server proved the key.
bool ExtendedSession::earlyKeys(Transfer& t) {
    if (!t.keyed) {
        return true;
    }
    const SessionSecret* from = secrets_.find(t.keyed->resumes());
    return from != nullptr && t.keyed->earlyKeys(*from, {settings_.origin, t.id, t.size, t.name});
}

// The server did not answer offers without a handshake: it no longer holds the session's secret,
// which is of no use any more. The next transfer to prove the key gives the next one.
void ExtendedSession::resumeFailed(Transfer& t) {
    secrets_.lost(t.keyed->resumes());
    t.keyed->restart(random_);
    t.offers = 0;
}

} // namespace zelk
