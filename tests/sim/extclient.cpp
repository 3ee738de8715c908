#include "extclient.h"

#include "codec.h"
#include "scenario.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace zelk::simtest {

namespace {

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

void ExtClientNode::Timer::set(std::int64_t ms, Micros now) {
    intervalMs = ms;
    if (enabled && intervalMs > 0) {
        due = now + intervalMs * 1000;
    }
}

void ExtClientNode::Timer::enable(Micros now) {
    if (enabled) {
        return;
    }
    enabled = true;
    due = now + intervalMs * 1000;
}

std::optional<std::int64_t> ExtClientNode::FirstFile::length() {
    const std::int64_t size = node_.disk_.size(node_.settings_.outbox, node_.listed_.front().name);
    return size < 0 ? std::nullopt : std::optional<std::int64_t>(size);
}

std::optional<FileStamp> ExtClientNode::FirstFile::stamp() {
    return node_.stampOf(node_.listed_.front().name);
}

long ExtClientNode::FirstFile::read(char* into, std::size_t n, std::int64_t offset) {
    const auto got = node_.disk_.read(node_.settings_.outbox, node_.listed_.front().name, offset,
                                      static_cast<std::int64_t>(n));
    if (!got) {
        return -1;
    }
    std::copy(got->begin(), got->end(), into);
    return static_cast<long>(got->size());
}

std::optional<std::int64_t> ExtClientNode::OutboxFiles::length(const std::string& name) {
    const std::int64_t size = node_.disk_.size(node_.settings_.outbox, name);
    return size < 0 ? std::nullopt : std::optional<std::int64_t>(size);
}

std::optional<FileStamp> ExtClientNode::OutboxFiles::stamp(const std::string& name) {
    return node_.stampOf(name);
}

long ExtClientNode::OutboxFiles::read(const std::string& name, char* into, std::size_t n,
                                      std::int64_t offset) {
    const auto got =
        node_.disk_.read(node_.settings_.outbox, name, offset, static_cast<std::int64_t>(n));
    if (!got) {
        return -1;
    }
    std::copy(got->begin(), got->end(), into);
    return static_cast<long>(got->size());
}

ExtRandom ExtClientNode::extRandom() {
    return ExtRandom{[this] { return random_.next(); },
                     [this] {
                         ext::Nonce nonce{};
                         for (unsigned char& byte : nonce) {
                             byte = static_cast<unsigned char>(random_.next());
                         }
                         return nonce;
                     },
                     [this] {
                         ext::Key secret{};
                         for (unsigned char& byte : secret) {
                             byte = static_cast<unsigned char>(random_.next());
                         }
                         return secret;
                     }};
}

ExtClientNode::ExtClientNode(FileSystem& disk, Settings settings)
    : disk_(disk), settings_(std::move(settings)) {
    start(0);
}

void ExtClientNode::start(Micros now) {
    now_ = now;
    sender_ = PlainSender(PlainSender::settingsFor(settings_.pieceMax, settings_.waitMs));
    sender_.guard().lengths().reseed(settings_.seed);
    sender_.setKeyed(settings_.key.has_value());
    random_ = Random(streamSeed(settings_.seed, 0xe87));
    extended_ = std::make_unique<ExtendedSender>(sender_, firstFile_, extRandom());
    session_ = std::make_unique<ExtendedSession>(outboxFiles_, extRandom());
    const auto head = settings_.key ? ext::kSealedOverhead : ext::kHeadBytes;
    extended_->configure({settings_.origin,
                          settings_.extendedDatagram - static_cast<std::int64_t>(head),
                          settings_.rateCap, settings_.extension, settings_.transfers});
    session_->configure({settings_.origin,
                         settings_.extendedDatagram - static_cast<std::int64_t>(head),
                         settings_.rateCap, settings_.transfers, settings_.firstFlight});
    extended_->setKey(settings_.key);
    session_->setKey(settings_.key);
    loop_ = Timer{};
    wait_ = Timer{};
    paceDue_ = timeoutDue_ = stepDue_ = -1;
    listed_.clear();
    loop_.set(settings_.loopMs, now);
    wait_.set(settings_.waitMs, now);
    scan();
    loop_.enable(now);
}

void ExtClientNode::restart(Micros now) {
    outgoing_.clear();
    ++settings_.seed;
    start(now);
}

// As the client does after a verdict: the next file goes without waiting for the loop's tick.
void ExtClientNode::nextAtOnce() {
    if (loop_.ticks() && !wait_.enabled) {
        loop_.due = now_;
    }
}

void ExtClientNode::outboxChanged(Micros now) {
    if (listed_.empty() && loop_.ticks() && !wait_.enabled) {
        loop_.due = now;
    }
}

std::optional<Micros> ExtClientNode::nextWake() const {
    std::optional<Micros> next;
    const auto consider = [&next](bool on, Micros due) {
        if (on && (!next || due < *next)) {
            next = due;
        }
    };
    consider(loop_.ticks(), loop_.due);
    consider(wait_.ticks(), wait_.due);
    consider(paceDue_ >= 0, paceDue_);
    consider(timeoutDue_ >= 0, timeoutDue_);
    consider(stepDue_ >= 0, stepDue_);
    return next;
}

// The earliest timer due by `now`; the engine's two timers tick once per wake-up, as a real timer
// late after a stall does.
ExtClientNode::Wake ExtClientNode::due(Micros now, bool loopTicked, bool waitTicked) const {
    Wake earliest = Wake::None;
    Micros at = now + 1;
    const auto consider = [&](Wake which, bool on, Micros when) {
        if (on && when <= now && when < at) {
            earliest = which;
            at = when;
        }
    };
    consider(Wake::Wait, !waitTicked && wait_.ticks(), wait_.due);
    consider(Wake::Loop, !loopTicked && loop_.ticks(), loop_.due);
    consider(Wake::Step, stepDue_ >= 0, stepDue_);
    consider(Wake::Pace, paceDue_ >= 0, paceDue_);
    consider(Wake::Timeout, timeoutDue_ >= 0, timeoutDue_);
    return earliest;
}

void ExtClientNode::wake(Micros now) {
    now_ = now;
    bool loopTicked = false;
    bool waitTicked = false;
    for (;;) {
        switch (due(now, loopTicked, waitTicked)) {
        case Wake::None:
            return;
        case Wake::Wait:
            waitTicked = true;
            wait_.due = now + wait_.intervalMs * 1000;
            waitRanOut();
            break;
        case Wake::Loop:
            loopTicked = true;
            loop_.due = now + loop_.intervalMs * 1000;
            sendLoop();
            break;
        case Wake::Step:
            stepDue_ = -1;
            if (session_->active()) {
                runSession(session_->step(static_cast<std::uint64_t>(stepTransfer_), now));
            } else {
                runExtended(extended_->step(stepTransfer_, now));
            }
            break;
        case Wake::Pace:
            paceDue_ = -1;
            if (session_->active()) {
                runSession(session_->wakePace(now));
            } else {
                runExtended(extended_->wakePace(now));
            }
            break;
        case Wake::Timeout:
            timeoutDue_ = -1;
            if (session_->active()) {
                runSession(session_->wakeTimeout(now));
            } else {
                runExtended(extended_->wakeTimeout(now));
            }
            break;
        }
    }
}

// Only the server may move the client; the extension's datagrams go to the extended sender, an
// answer to an offer to it first, a plain answer to the plain sender.
void ExtClientNode::receive(const Datagram& datagram, Micros now) {
    now_ = now;
    if (datagram.from != settings_.server) {
        return;
    }
    const std::string bytes = text(datagram.bytes);
    if (session_->active()) {
        if (!bytes.empty() && (bytes[0] == ext::kStart || bytes[0] == ext::kSealedStart)) {
            runSession(session_->datagram(bytes, now));
            return;
        }
        if (session_->ownsAnswer(bytes)) {
            runSession(session_->answer(bytes, now));
            return;
        }
    }
    if (!bytes.empty() && (bytes[0] == ext::kStart || bytes[0] == ext::kSealedStart)) {
        runExtended(
            extended_->datagram(bytes, listed_.empty() ? nullptr : &listed_.front().name, now));
        return;
    }
    plainAnswer(bytes);
}

void ExtClientNode::plainAnswer(const std::string& bytes) {
    const auto p = bytes.size() == 1 ? std::nullopt : readAck(bytes);
    if (p && sender_.awaiting() == PlainSender::Awaiting::Header && extended_->awaitsOffer() &&
        !listed_.empty() && takeAcceptance(bytes, *p)) {
        return;
    }
    if (p && answersAnOffer(bytes)) {
        return; // an acceptance or a challenge come late or twice
    }
    if (listed_.empty()) {
        sender_.stopWaiting();
    }
    for (const SenderAction& action : sender_.answer(p, ms())) {
        if (action.kind != SenderAction::Kind::Unasked) {
            perform(action);
        }
    }
}

bool ExtClientNode::takeAcceptance(const std::string& bytes, std::int64_t p) {
    const ExtendedSender::Actions actions = extended_->answerToOffer(bytes, p, now_);
    runExtended(actions);
    return actions.empty() || actions.back().kind != ExtAction::Kind::Plain;
}

std::optional<FileStamp> ExtClientNode::stampOf(const std::string& name) const {
    const auto stat = disk_.stat(settings_.outbox, name);
    if (!stat) {
        return std::nullopt;
    }
    const auto modified = static_cast<std::int64_t>(stat->modified);
    return FileStamp{stat->size, modified, modified, 1, stat->identity};
}

// The outbox as the scan lists it: empty files and names a header cannot carry stay out, and so
// do the files held back.
void ExtClientNode::scan() {
    listed_.clear();
    std::set<std::string_view> names;
    for (const std::string& name : disk_.list(settings_.outbox)) {
        const auto stamp = stampOf(name);
        if (stamp->size == 0 || name.find(';') != std::string::npos ||
            sender_.guard().isHeldBack(name)) {
            continue;
        }
        listed_.push_back(Listed{name, *stamp});
    }
    for (const Listed& item : listed_) {
        names.insert(item.name);
    }
    sender_.keepOnly(names);
}

void ExtClientNode::sendLoop() {
    loop_.disable();
    if (session_->active() || session_->lingering(now_)) {
        // The session offers the files itself; the loop only lists the outbox for it.
        scan();
        offerMore();
        loop_.enable(now_);
        return;
    }
    const PlainSender::Actions actions = sender_.tick(ms());
    run(actions);
    if (std::any_of(actions.begin(), actions.end(), [](const SenderAction& action) {
            return action.kind == SenderAction::Kind::Pause;
        })) {
        return;
    }
    if (listed_.empty()) {
        scan(); // what it finds goes at once, as the client's loop does
    }
    if (listed_.empty()) {
        loop_.enable(now_);
        return;
    }
    if (!disk_.exists(settings_.outbox, listed_.front().name)) {
        dropFirst(); // the open test finds nothing to open
    } else {
        sendHeader();
    }
    wait_.enable(now_);
}

void ExtClientNode::waitRanOut() {
    wait_.disable();
    loop_.enable(now_);
    if (listed_.empty()) {
        sender_.stopWaiting();
        return;
    }
    run(sender_.waitRanOut(ms(), extended_->offerAnsweredPlainly(), listed_.size() > 1));
}

void ExtClientNode::sendHeader() {
    const Listed& item = listed_.front();
    const auto stamp = stampOf(item.name);
    if (!stamp || stamp->size == 0 || stamp->size > kLargestExtendedFile ||
        (stamp->size > kLargestFile && !extended_->offering(now_))) {
        dropFirst();
        return;
    }
    size_ = stamp->size;
    const bool resetAllowed = !extended_->keyed() && !extended_->offering(now_);
    run(sender_.header(item.name, *stamp, item.scanStamp, resetAllowed, ms()));
}

void ExtClientNode::announce(const SenderAction& action) {
    const bool reset = action.kind == SenderAction::Kind::Reset;
    extended_->headerSent(action.name, size_);
    ++headers_;
    if (!reset && extended_->offering(now_)) {
        send(extended_->offeredHeader());
        return;
    }
    send(buildHeaderFrame(settings_.origin, action.name, reset ? 0 : size_));
}

void ExtClientNode::sendContent(std::int64_t p) {
    if (listed_.empty()) {
        loop_.enable(now_);
        return;
    }
    const std::string& name = listed_.front().name;
    const std::int64_t total = disk_.size(settings_.outbox, name);
    if (total < 0) {
        dropFirst();
        return;
    }
    const PlainSender::Actions next = sender_.piece(p, total, ms());
    if (next.front().kind == SenderAction::Kind::Finish) {
        finishFirst(true);
        return;
    }
    const auto n = static_cast<std::size_t>(next.front().size);
    const auto read = disk_.read(settings_.outbox, name, p, next.front().size);
    if (!read || read->size() != n) {
        dropFirst();
        return;
    }
    std::string piece = text(*read);
    piece.resize(lengthClearOfHeaderMarks(piece));
    run(sender_.pieceSent(p, static_cast<std::int64_t>(piece.size()), total));
    send(buildContentFrame(settings_.origin, piece));
}

void ExtClientNode::finishFirst(bool plain) {
    const std::string name = listed_.front().name;
    const TransferMemory memory = sender_.memory(name);
    sender_.forget(name);
    listed_.erase(listed_.begin());
    loop_.enable(now_);
    finished_.push_back(name);
    if (!disk_.exists(settings_.outbox, name) || !safeToDelete(memory.startStamp, name)) {
        return;
    }
    run(sender_.finished(name, memory, plain, ms()));
}

void ExtClientNode::dropFirst() {
    leaveExtended();
    sender_.dropped();
    listed_.erase(listed_.begin());
}

void ExtClientNode::stopWaiting() {
    sender_.stopWaiting();
    loop_.disable();
    wait_.disable();
}

bool ExtClientNode::safeToDelete(const std::optional<FileStamp>& start,
                                 const std::string& name) const {
    return start && stampOf(name) == start;
}

void ExtClientNode::run(const PlainSender::Actions& actions) {
    for (const SenderAction& action : actions) {
        perform(action);
    }
}

void ExtClientNode::perform(const SenderAction& action) {
    using Kind = SenderAction::Kind;
    switch (action.kind) {
    case Kind::Header:
    case Kind::Reset:
        return announce(action);
    case Kind::WaitFor:
        if (action.size != wait_.intervalMs) {
            wait_.set(action.size, now_);
        }
        return;
    case Kind::WaitOn:
        return wait_.enable(now_);
    case Kind::LoopOn:
    case Kind::Pause:
    case Kind::Restart:
        return loop_.enable(now_);
    case Kind::StopWaiting:
        return stopWaiting();
    case Kind::Content:
        return sendContent(action.from);
    case Kind::Finish:
        return finishFirst(true);
    case Kind::Announce:
        return sendHeader();
    case Kind::MoveOn:
        return dropFirst();
    case Kind::Delete:
        disk_.remove(settings_.outbox, action.name);
        return;
    case Kind::DeleteDue:
        if (safeToDelete(action.stamp, action.name)) {
            disk_.remove(settings_.outbox, action.name);
        }
        return;
    default: // what only the trace and the window hear of
        return;
    }
}

void ExtClientNode::runExtended(const ExtendedSender::Actions& actions) {
    for (const ExtAction& action : actions) {
        if (action.kind == ExtAction::Kind::Pieces && !sendPieces(action.pieces)) {
            runExtended(extended_->unreadable());
            return;
        }
        performExtended(action);
    }
}

void ExtClientNode::performExtended(const ExtAction& action) {
    using Kind = ExtAction::Kind;
    switch (action.kind) {
    case Kind::Send:
        return send(action.text);
    case Kind::HeaderAgain:
        wait_.disable();
        wait_.enable(now_);
        return send(action.text);
    case Kind::PaceIn:
        paceDue_ = now_ + action.value * 1000;
        return;
    case Kind::TimeoutIn:
        timeoutDue_ = now_ + action.value * 1000;
        return;
    case Kind::TimeoutOff:
        timeoutDue_ = -1;
        return;
    case Kind::Step:
        stepDue_ = now_;
        stepTransfer_ = action.value;
        return;
    case Kind::StopWaiting:
        return stopWaiting();
    case Kind::Verified:
        ++verified_;
        leaveExtended();
        finishFirst(false);
        return nextAtOnce();
    case Kind::LateVerdict:
        ++verified_;
        finishFirst(false);
        return nextAtOnce();
    case Kind::Lost:
        dropFirst();
        return wait_.enable(now_);
    case Kind::TooLarge:
        stopWaiting();
        dropFirst();
        return wait_.enable(now_);
    case Kind::Announce:
        leaveExtended();
        return sendHeader();
    case Kind::PlainServer:
        ++wentPlain_;
        return;
    case Kind::Granted:
        return openSession(action);
    default: // what only the trace and the window hear of
        return;
    }
}

// The first file's transfer opens the session; the loop lists the outbox for it from now on.
void ExtClientNode::openSession(const ExtAction& granted) {
    const std::string& name = listed_.front().name;
    const TransferMemory& known = sender_.memory(name);
    runSession(session_->adopt(name, size_,
                               ext::Accept{static_cast<std::uint64_t>(granted.extra), granted.size},
                               static_cast<int>(granted.value), known.digest, known.startStamp,
                               now_, extended_->handOver()));
    offerMore();
    loop_.enable(now_);
}

void ExtClientNode::offerMore() {
    std::vector<std::string> names;
    for (const Listed& item : listed_) {
        names.push_back(item.name);
    }
    runSession(session_->offerFrom(names, now_));
}

void ExtClientNode::runSession(const ExtendedSession::Actions& actions) {
    bool freed = false; // a transfer ended: the next file need not wait for the loop's tick
    for (const SessionAction& action : actions) {
        if (action.kind == SessionAction::Kind::Pieces && !sendSessionPieces(action)) {
            runSession(session_->unreadable(action.transfer));
            continue;
        }
        freed = freed || ExtendedSession::ends(action);
        performSession(action);
    }
    if (freed && session_->active()) {
        offerMore();
    }
    mostAtOnce_ = std::max(mostAtOnce_, session_->underWay());
    if (!session_->active()) {
        // Back to one file at a time, from the first listed file, once the session stops
        // lingering.
        session_->idle(now_);
        paceDue_ = timeoutDue_ = stepDue_ = -1;
        loop_.enable(now_);
    }
}

void ExtClientNode::performSession(const SessionAction& action) {
    using Kind = SessionAction::Kind;
    switch (action.kind) {
    case Kind::Send:
        return send(action.text);
    case Kind::PaceIn:
        paceDue_ = now_ + action.value * 1000;
        return;
    case Kind::TimeoutIn:
        // Never put off, as the program's timer is not.
        if (const Micros due = now_ + action.value * 1000; timeoutDue_ < 0 || due < timeoutDue_) {
            timeoutDue_ = due;
        }
        return;
    case Kind::TimeoutOff:
        timeoutDue_ = -1;
        return;
    case Kind::Step:
        stepDue_ = now_;
        stepTransfer_ = static_cast<std::int64_t>(action.transfer);
        return;
    case Kind::Offered:
        ++headers_;
        return;
    case Kind::Verified:
        return sessionDone(action);
    case Kind::Lost:
        sender_.forget(action.name);
        return;
    default: // what only the trace and the window hear of
        return;
    }
}

bool ExtClientNode::sendSessionPieces(const SessionAction& action) {
    for (const ext::SendWindow::Piece& piece : action.pieces) {
        const auto n = static_cast<std::size_t>(piece.length);
        std::string frame(session_->datagramOf(n), '\0');
        if (outboxFiles_.read(action.name, frame.data() + session_->bodyAt(), n, piece.offset) !=
            static_cast<long>(n)) {
            return false;
        }
        session_->framePiece(action.transfer, frame.data(), piece.offset, n);
        send(frame);
    }
    return true;
}

// Deleted only on its own verdict, and only as it was when its transfer began.
void ExtClientNode::sessionDone(const SessionAction& action) {
    ++verified_;
    finished_.push_back(action.name);
    std::erase_if(listed_, [&action](const Listed& item) { return item.name == action.name; });
    TransferMemory memory;
    memory.startStamp = action.stamp;
    sender_.forget(action.name);
    if (disk_.exists(settings_.outbox, action.name) && safeToDelete(action.stamp, action.name)) {
        run(sender_.finished(action.name, memory, false, ms()));
    }
}

bool ExtClientNode::sendPieces(const std::vector<ext::SendWindow::Piece>& pieces) {
    for (const ext::SendWindow::Piece& piece : pieces) {
        const auto n = static_cast<std::size_t>(piece.length);
        std::string frame(extended_->datagramOf(n), '\0');
        if (firstFile_.read(frame.data() + extended_->bodyAt(), n, piece.offset) !=
            static_cast<long>(n)) {
            return false;
        }
        extended_->framePiece(frame.data(), piece.offset, n);
        send(frame);
    }
    return true;
}

void ExtClientNode::leaveExtended() {
    extended_->leave();
    paceDue_ = timeoutDue_ = -1;
}

void ExtClientNode::send(const std::string& bytes) {
    // A header proves the key in a handshake, or by the secret of its session, and names no
    // file or size but the sealed name's placeholders.
    const bool handshake =
        bytes.find(";BEG;") != std::string::npos &&
        (bytes.find(";ZXS,") != std::string::npos || bytes.find(";ZXR,") != std::string::npos);
    const bool unnamed =
        bytes.find(";BEG;" + std::string(ext::kSealedName) + ";1;") != std::string::npos;
    if (settings_.key && !bytes.empty() && bytes[0] != ext::kSealedStart &&
        !(handshake && unnamed)) {
        ++sentInClear_;
    }
    outgoing_.push_back(Datagram{{}, settings_.server, Bytes(bytes.begin(), bytes.end())});
}

} // namespace zelk::simtest
