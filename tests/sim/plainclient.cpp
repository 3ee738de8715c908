#include "plainclient.h"

#include "codec.h"
#include "scenario.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <set>

namespace zelk::simtest {

namespace {

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// As the client cuts a piece that the server would take for a header.
std::size_t lengthClearOfHeaderMarks(const std::string& piece, std::size_t n) {
    if (n < 3 || piece.compare(0, 3, "BEG") != 0) {
        return n;
    }
    while (n > 3 && piece.compare(n - 3, 3, "END") == 0) {
        --n;
    }
    return n;
}

} // namespace

void PlainClientNode::Timer::set(std::int64_t ms, Micros now) {
    intervalMs = ms;
    if (enabled && intervalMs > 0) {
        due = now + intervalMs * 1000;
    }
}

void PlainClientNode::Timer::enable(Micros now) {
    if (enabled) {
        return;
    }
    enabled = true;
    due = now + intervalMs * 1000;
}

PlainClientNode::PlainClientNode(FileSystem& disk, Settings settings)
    : disk_(disk), settings_(std::move(settings)), log_(traceWanted()) {
    start(0);
}

void PlainClientNode::start(Micros now) {
    now_ = now;
    sender_ = PlainSender(PlainSender::settingsFor(settings_.pieceMax, settings_.waitMs));
    sender_.guard().lengths().reseed(settings_.seed);
    loop_ = Timer{};
    wait_ = Timer{};
    listed_.clear();
    loop_.set(settings_.loopMs, now);
    wait_.set(settings_.waitMs, now);
    scan();
    loop_.enable(now);
}

void PlainClientNode::restart(Micros now) {
    outgoing_.clear();
    ++settings_.seed;
    start(now);
}

std::optional<Micros> PlainClientNode::nextWake() const {
    std::optional<Micros> next;
    for (const Timer* timer : {&loop_, &wait_}) {
        if (timer->ticks() && (!next || timer->due < *next)) {
            next = timer->due;
        }
    }
    return next;
}

// Each timer due ticks once, the earlier first; one late after a stall ticks once, as a real
// timer does.
void PlainClientNode::wake(Micros now) {
    now_ = now;
    bool loopTicked = false;
    bool waitTicked = false;
    for (;;) {
        const bool loopDue = !loopTicked && loop_.ticks() && loop_.due <= now;
        const bool waitDue = !waitTicked && wait_.ticks() && wait_.due <= now;
        if (waitDue && (!loopDue || wait_.due <= loop_.due)) {
            waitTicked = true;
            wait_.due = now + wait_.intervalMs * 1000;
            waitRanOut();
        } else if (loopDue) {
            loopTicked = true;
            loop_.due = now + loop_.intervalMs * 1000;
            sendLoop();
        } else {
            return;
        }
    }
}

// Only the server may move the client; a plain answer goes to the sender.
void PlainClientNode::receive(const Datagram& datagram, Micros now) {
    now_ = now;
    if (datagram.from != settings_.server) {
        return;
    }
    const std::string bytes = text(datagram.bytes);
    const auto p = bytes.size() == 1 ? std::nullopt : readAck(bytes);
    if (listed_.empty()) {
        sender_.stopWaiting();
    }
    for (const SenderAction& action : sender_.answer(p, ms())) {
        if (action.kind != SenderAction::Kind::Unasked) {
            perform(action);
        }
    }
}

std::optional<FileStamp> PlainClientNode::stampOf(const std::string& name) const {
    const auto stat = disk_.stat(settings_.outbox, name);
    if (!stat) {
        return std::nullopt;
    }
    const auto modified = static_cast<std::int64_t>(stat->modified);
    return FileStamp{stat->size, modified, modified, 1, stat->identity};
}

// The outbox as the scan lists it: empty files and names a header cannot carry stay out, and so
// do the files held back.
void PlainClientNode::scan() {
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

void PlainClientNode::sendLoop() {
    loop_.disable();
    const PlainSender::Actions actions = sender_.tick(ms());
    run(actions);
    if (std::any_of(actions.begin(), actions.end(), [](const SenderAction& action) {
            return action.kind == SenderAction::Kind::Pause;
        })) {
        return;
    }
    if (listed_.empty()) {
        scan();
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

void PlainClientNode::waitRanOut() {
    wait_.disable();
    loop_.enable(now_);
    if (listed_.empty()) {
        sender_.stopWaiting();
        return;
    }
    run(sender_.waitRanOut(ms(), false, listed_.size() > 1));
}

void PlainClientNode::sendHeader() {
    const Listed& item = listed_.front();
    const auto stamp = stampOf(item.name);
    if (!stamp || stamp->size == 0) {
        dropFirst();
        return;
    }
    size_ = stamp->size;
    run(sender_.header(item.name, *stamp, item.scanStamp, true, ms()));
}

void PlainClientNode::sendContent(std::int64_t p) {
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
        finishFirst();
        return;
    }
    const auto n = static_cast<std::size_t>(next.front().size);
    const auto read = disk_.read(settings_.outbox, name, p, next.front().size);
    if (!read || read->size() != n) {
        dropFirst();
        return;
    }
    std::string piece = text(*read);
    piece.resize(lengthClearOfHeaderMarks(piece, n));
    run(sender_.pieceSent(p, static_cast<std::int64_t>(piece.size()), total));
    send(buildContentFrame(settings_.origin, piece));
}

void PlainClientNode::finishFirst() {
    const std::string name = listed_.front().name;
    const TransferMemory memory = sender_.memory(name);
    sender_.forget(name);
    listed_.erase(listed_.begin());
    loop_.enable(now_);
    finished_.push_back(name);
    if (!disk_.exists(settings_.outbox, name) || !safeToDelete(memory.startStamp, name)) {
        return;
    }
    run(sender_.finished(name, memory, true, ms()));
}

void PlainClientNode::dropFirst() {
    sender_.dropped();
    listed_.erase(listed_.begin());
}

bool PlainClientNode::safeToDelete(const std::optional<FileStamp>& start,
                                   const std::string& name) const {
    return start && stampOf(name) == start;
}

void PlainClientNode::run(const PlainSender::Actions& actions) {
    for (const SenderAction& action : actions) {
        perform(action);
    }
}

void PlainClientNode::note(const SenderAction& action) const {
    if (log_ != nullptr) {
        *log_ << "t=" << now_ << " client " << static_cast<int>(action.kind) << " from "
              << action.from << " size " << action.size << ' ' << action.name << ' '
              << action.reason << '\n';
    }
}

void PlainClientNode::perform(const SenderAction& action) {
    using Kind = SenderAction::Kind;
    note(action);
    switch (action.kind) {
    case Kind::Header:
    case Kind::Reset:
        ++headers_;
        return send(buildHeaderFrame(settings_.origin, action.name,
                                     action.kind == Kind::Reset ? 0 : size_));
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
        sender_.stopWaiting();
        loop_.disable();
        return wait_.disable();
    case Kind::Content:
        return sendContent(action.from);
    case Kind::Finish:
        return finishFirst();
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

void PlainClientNode::send(const std::string& bytes) {
    outgoing_.push_back(Datagram{{}, settings_.server, Bytes(bytes.begin(), bytes.end())});
}

} // namespace zelk::simtest
