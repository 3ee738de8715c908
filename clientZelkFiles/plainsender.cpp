#include "plainsender.h"

#include <algorithm>
#include <climits>

namespace zelk {

void StrayGuard::setTimes(std::int64_t heldBackMs, std::int64_t riskMs) {
    heldBackMs_ = heldBackMs;
    lengths_.setRiskMs(riskMs);
}

void StrayGuard::strayAnswer(std::int64_t nowMs) {
    lengths_.anomaly(nowMs);
    straysUntilMs_ = nowMs + kLateCopyMs;
}

void StrayGuard::headerAtLarge(std::int64_t nowMs) {
    quietUntilMs_ = std::max(quietUntilMs_, nowMs + heldBackMs_);
}

bool StrayGuard::nextFileWaits(std::int64_t nowMs) {
    if (betweenFiles_ && quiet(nowMs) && straysLately(nowMs)) {
        return true;
    }
    betweenFiles_ = false;
    return false;
}

void StrayGuard::holdBack(const std::string& name, const TransferMemory& memory, std::int64_t size,
                          std::int64_t nowMs) {
    heldBack_.push_back(HeldBack{name, memory, nowMs + heldBackMs_, size});
}

bool StrayGuard::isHeldBack(const std::string& name) const {
    return std::any_of(heldBack_.begin(), heldBack_.end(),
                       [&name](const HeldBack& held) { return held.name == name; });
}

std::vector<HeldBack> StrayGuard::due(std::int64_t nowMs) {
    std::vector<HeldBack> due;
    while (!heldBack_.empty() && heldBack_.front().untilMs <= nowMs) {
        due.push_back(std::move(heldBack_.front()));
        heldBack_.erase(heldBack_.begin());
    }
    return due;
}

std::vector<HeldBack> StrayGuard::releaseAll() {
    std::vector<HeldBack> released;
    released.swap(heldBack_);
    return released;
}

PlainSender::Settings PlainSender::settingsFor(std::size_t pieceMax, std::int64_t waitMs) {
    // The wait as its timer holds it.
    const std::int64_t interval = std::clamp<std::int64_t>(waitMs, 0, INT_MAX);
    return Settings{pieceMax, waitMs, std::max<std::int64_t>(StrayGuard::kHeldBackMs, 3 * interval),
                    std::max<std::int64_t>(StrayGuard::kLateCopyMs, 10 * interval)};
}

PlainSender::PlainSender(const Settings& settings) : settings_(settings) {
    guard_.setTimes(settings.heldBackMs, settings.riskMs);
}

PlainSender::Actions PlainSender::take() {
    Actions out;
    out.swap(actions_);
    return out;
}

void PlainSender::add(SenderAction::Kind kind, std::int64_t from, std::int64_t size) {
    actions_.push_back(SenderAction{kind, from, size, {}, {}, {}});
}

PlainSender::Actions PlainSender::tick(std::int64_t nowMs) {
    awaiting_ = Awaiting::Nothing;
    for (HeldBack& held : guard_.due(nowMs)) {
        actions_.push_back(SenderAction{SenderAction::Kind::DeleteDue,
                                        0,
                                        held.size,
                                        std::move(held.name),
                                        {},
                                        held.memory.startStamp});
    }
    if (nowMs < restartQuietUntilMs_ || guard_.nextFileWaits(nowMs)) {
        add(SenderAction::Kind::Pause);
    }
    return take();
}

PlainSender::Actions PlainSender::header(const std::string& name, const FileStamp& stamp,
                                         const FileStamp& listed, bool resetAllowed,
                                         std::int64_t nowMs) {
    current_ = name;
    TransferMemory& memory = current();
    if (!memory.startStamp) {
        memory.startStamp = listed;
    }
    headerStamp_ = stamp;
    size_ = stamp.size;
    add(SenderAction::Kind::WaitFor, 0, settings_.waitMs);
    add(SenderAction::Kind::WaitOn);
    const bool reset = memory.mustReset && resetAllowed;
    // Any header but a file's first follows a silence or a fault, when answers come late or
    // twice: the answer taken for it may have been another frame's, and the header itself may
    // still be on its way.
    if (++memory.headers > 1) {
        guard_.headerAtLarge(nowMs);
    }
    awaiting_ = reset ? Awaiting::Reset : Awaiting::Header;
    add(reset ? SenderAction::Kind::Reset : SenderAction::Kind::Header,
        reset ? 0 : std::max<std::int64_t>(memory.ackedEnd, 0), reset ? 0 : size_);
    actions_.back().name = name;
    return take();
}

// An answer is taken only while a frame waits for one, and only when it can answer that frame;
// everything else (a copy the network made, an answer that came after the wait ran out) changes
// nothing, so it can neither finish a file nor move one.
PlainSender::Actions PlainSender::answer(std::optional<std::int64_t> p, std::int64_t nowMs) {
    if (!p || awaiting_ == Awaiting::Nothing) {
        unasked(p, nowMs);
        return take();
    }
    switch (awaiting_) {
    case Awaiting::Header:
        answerToHeader(*p, nowMs);
        break;
    case Awaiting::Reset:
        answerToReset();
        break;
    case Awaiting::Piece:
        answerToPiece(*p, nowMs);
        break;
    case Awaiting::Nothing:
        break;
    }
    return take();
}

void PlainSender::unasked(std::optional<std::int64_t> p, std::int64_t nowMs) {
    guard_.strayAnswer(nowMs);
    // A late header of a finished file may have reached the server, or the network copied a
    // header's answer: the client cannot tell, and on a link that showed no stray yet the late
    // header may be the first. Sending the held-back files again costs bytes, not files.
    if (p == 0 && !keyed_) {
        strayFirstByteAnswer();
    }
    add(SenderAction::Kind::Unasked, p.value_or(-1));
}

void PlainSender::ignore(std::int64_t p, const std::string& why) {
    add(SenderAction::Kind::Ignored, p);
    actions_.back().reason = "position " + std::to_string(p + 1) + " " + why;
}

// The server answers a header with the position it holds: the first byte, or a resume inside the
// file. A resume is trusted only when the file is the one whose transfer began, and when this
// client sent at least that much of it since.
void PlainSender::answerToHeader(std::int64_t p, std::int64_t nowMs) {
    TransferMemory& memory = current();
    if (p < 0 || p >= size_) {
        guard_.strayAnswer(nowMs);
        guard_.headerAtLarge(nowMs);
        memory.answeredOutOfRange = true;
        ignore(p, "answers no header of " + std::to_string(size_) + " bytes");
        return;
    }
    if (p > 0 && p < memory.ackedEnd) {
        if (!behindAgain(memory, p)) {
            guard_.strayAnswer(nowMs);
            ignore(p, "is behind what the server already acknowledged: a late copy");
            return;
        }
        // Two headers answered alike: the server stands there (it lost what it had acknowledged,
        // in a restart say). The resume is judged as any other.
        memory.ackedEnd = -1;
        memory.unackedEnds.clear();
    }
    awaiting_ = Awaiting::Nothing;
    add(SenderAction::Kind::StopWaiting);
    add(SenderAction::Kind::Answered, p);
    if (p == 0) {
        if (memory.sentEnd > 0 && guard_.straysLately(nowMs)) {
            // The server forgot this transfer: a lost final answer, a restart, or a stray header
            // of a finished file that took this transfer's place; only the last one wants the
            // files held back sent again, and only a link with strays about has it.
            strayFirstByteAnswer();
        }
        memory.startStamp = headerStamp_;
        restartedFromNothing(memory);
    } else if (const std::string why = unsoundResume(memory, p, nowMs); !why.empty()) {
        guard_.headerAtLarge(nowMs); // what answered it may not have been its own answer
        startOver(why, nowMs);
        return;
    }
    accept(p);
}

// The answer is the server's sound position: the next piece goes from there.
void PlainSender::accept(std::int64_t p) {
    TransferMemory& memory = current();
    memory.ackedEnd = p;
    memory.unackedEnds.clear();
    add(SenderAction::Kind::Content, p);
    add(SenderAction::Kind::WaitOn);
}

// Why the server cannot hold `p` bytes of this file sent by this client; empty when it can.
std::string PlainSender::unsoundResume(const TransferMemory& memory, std::int64_t p,
                                       std::int64_t nowMs) {
    const std::string holds = "the server holds " + std::to_string(p) + " bytes of it";
    if (memory.startStamp != headerStamp_) {
        return "it changed since its transfer began, and the server holds part of it";
    }
    if (memory.sentEnd >= 0 && p > memory.sentEnd) {
        return holds + " but only " + std::to_string(memory.sentEnd) + " were sent";
    }
    if (memory.sentEnd < 0 && guard_.lengths().wary(nowMs)) {
        // Nothing of it was sent since this client started, so only an earlier run can have
        // sent what the server holds; but with stray pieces about, one of them may be it.
        return holds + " that this client did not send, while stray pieces are about";
    }
    if (memory.ackedEnd >= 0 && p != memory.ackedEnd &&
        std::find(memory.unackedEnds.begin(), memory.unackedEnds.end(), p) ==
            memory.unackedEnds.end()) {
        return holds + ", where none of the pieces sent ends: a stray piece took the place of one";
    }
    return {};
}

// A position behind what the server acknowledged answers one header as a late copy would; the same
// position answering the next header too is where the server stands.
bool PlainSender::behindAgain(TransferMemory& memory, std::int64_t p) {
    const bool again = memory.behindAt == p && memory.behindHeader != memory.headers;
    memory.behindAt = p;
    memory.behindHeader = memory.headers;
    return again;
}

void PlainSender::restartedFromNothing(TransferMemory& memory) {
    memory.sentEnd = 0;
    memory.ackedEnd = 0;
    memory.unackedEnds.clear();
}

// The server started its copy anew: now the real header.
void PlainSender::answerToReset() {
    awaiting_ = Awaiting::Nothing;
    add(SenderAction::Kind::StopWaiting);
    TransferMemory& memory = current();
    memory.mustReset = false;
    restartedFromNothing(memory);
    add(SenderAction::Kind::Announce);
}

// A piece sent from p with n bytes is answered with p + n. An answer of p repeats the one that
// brought the piece about (a copy, or a late answer to a repeated header): it is stale. Any other
// position the piece can have led to means the server wrote bytes where they do not belong.
void PlainSender::answerToPiece(std::int64_t p, std::int64_t nowMs) {
    // Having written n bytes the server stands at n + 1 at least: a smaller position answers
    // another frame (a header's answer, held back by the network).
    if (p == 0) {
        strayHeaderAnswer(nowMs);
        return;
    }
    if (p == pieceFrom_ || p < pieceLength_) {
        guard_.strayAnswer(nowMs);
        ignore(p, "answers no piece of " + std::to_string(pieceLength_) + " bytes from position " +
                      std::to_string(pieceFrom_ + 1) + ": a copy or a late answer");
        return;
    }
    awaiting_ = Awaiting::Nothing;
    add(SenderAction::Kind::StopWaiting);
    if (p != pieceFrom_ + pieceLength_) {
        if (guard_.lengths().sentLately(static_cast<std::size_t>(p))) {
            // The server started some file anew and wrote one of the latest pieces first.
            strayFirstByteAnswer();
        }
        startOver("the server answered position " + std::to_string(p + 1) + " to the " +
                      std::to_string(pieceLength_) + " bytes sent from position " +
                      std::to_string(pieceFrom_ + 1) +
                      ", so its copy holds bytes in the wrong place",
                  nowMs);
        return;
    }
    current().stalls = 0;
    accept(p);
}

// A first-byte answer while a piece waits: the header it answered was answered already, so it is
// either a copy the network made or the answer to a header of another file that reached the
// server late and started that file anew. The latter makes the server write the pieces sent since
// into that file, replacing its finished copy: the files held back are sent again, and so is this
// one when its first piece may have gone there.
void PlainSender::strayHeaderAnswer(std::int64_t nowMs) {
    guard_.strayAnswer(nowMs);
    strayFirstByteAnswer();
    if (pieceFrom_ != 0) {
        ignore(0, "answers a header while a piece waits: a copy or a late answer");
        return;
    }
    awaiting_ = Awaiting::Nothing;
    add(SenderAction::Kind::StopWaiting);
    startOver("an answer to a header came while its first piece was on its way: the piece may "
              "have gone into another file",
              nowMs);
}

// The server started some file anew without being asked: any file held back may be the one
// whose finished copy it is replacing.
void PlainSender::strayFirstByteAnswer() {
    for (HeldBack& held : guard_.releaseAll()) {
        TransferMemory& memory = transfers_[held.name];
        memory = std::move(held.memory);
        memory.mustReset = true;
        add(SenderAction::Kind::SendAgain);
        actions_.back().name = std::move(held.name);
    }
}

// The exchange that went wrong may still have frames on their way, whose answers would be taken
// for the size-0 header's and the real header's: the size-0 header waits for them to drain.
void PlainSender::startOver(const std::string& why, std::int64_t nowMs) {
    guard_.strayAnswer(nowMs);
    restartQuietUntilMs_ = nowMs + settings_.waitMs;
    current().mustReset = true;
    add(SenderAction::Kind::Restart);
    actions_.back().reason = why;
}

PlainSender::Actions PlainSender::waitRanOut(std::int64_t nowMs, bool offerAnsweredPlainly,
                                             bool othersWaiting) {
    const Awaiting was = awaiting_;
    awaiting_ = Awaiting::Nothing; // an answer that comes now answers nothing
    restartQuietUntilMs_ = -1;     // a whole wait went by since any restart
    // After a file was dropped the wait is a mere pause, with nothing unanswered.
    if (was == Awaiting::Nothing || current_.empty()) {
        return {};
    }
    if (was == Awaiting::Header && offerAnsweredPlainly) {
        return {}; // answered: no silence, and the offer goes again at the next tick
    }
    add(SenderAction::Kind::Silence);
    PieceLengths& lengths = guard_.lengths();
    if (was == Awaiting::Piece) {
        lengths.unanswered(static_cast<std::size_t>(pieceLength_), nowMs);
    } else {
        lengths.anomaly(nowMs);
        guard_.headerAtLarge(nowMs);
    }
    TransferMemory& memory = current();
    // No answer but one past the file's end: that is where the server stands (copies of pieces
    // carried it past the end, and such a transfer never completes), not a stray copy.
    if (was == Awaiting::Header && memory.answeredOutOfRange) {
        memory.mustReset = true;
    }
    memory.answeredOutOfRange = false;
    // The server answers this file's header but never its content (a folder in the way, say):
    // the others must not wait behind it for ever.
    if (was == Awaiting::Piece && ++memory.stalls >= kStallsBeforeMovingOn && othersWaiting) {
        memory.stalls = 0;
        add(SenderAction::Kind::MoveOn);
        actions_.back().reason =
            "the server answers its header but not its content; the other files go first";
    }
    return take();
}

PlainSender::Actions PlainSender::piece(std::int64_t p, std::int64_t total, std::int64_t nowMs) {
    if (p >= total) {
        add(SenderAction::Kind::Finish, p, total);
        return take();
    }
    const auto left = static_cast<std::size_t>(total - p);
    const std::size_t n = guard_.lengths().choose(std::min(settings_.pieceMax, left),
                                                  left <= settings_.pieceMax, nowMs);
    add(SenderAction::Kind::Piece, p, static_cast<std::int64_t>(n));
    return take();
}

PlainSender::Actions PlainSender::pieceSent(std::int64_t p, std::int64_t n, std::int64_t total) {
    guard_.lengths().sent(static_cast<std::size_t>(n));
    awaiting_ = Awaiting::Piece;
    pieceFrom_ = p;
    pieceLength_ = n;
    TransferMemory& memory = current();
    memory.sentEnd = std::max(memory.sentEnd, p + n);
    if (memory.unackedEnds.size() >= PieceLengths::kRecent) {
        memory.unackedEnds.erase(memory.unackedEnds.begin());
    }
    memory.unackedEnds.push_back(p + n);
    add(SenderAction::Kind::WaitFor, 0, p + n == total ? finalWaitMs(total) : settings_.waitMs);
    return take();
}

// The server answers a file's last piece only once the file is on stable storage, which for a
// large file can take longer than the usual wait: a header sent meanwhile would reach the server
// after the file completed and make it start the file anew, and the client send it all again, for
// ever on a disk slower than the wait. So the last piece is waited for longer, by the file's size.
std::int64_t PlainSender::finalWaitMs(std::int64_t size) const {
    const std::int64_t waitMs = settings_.waitMs;
    if (waitMs <= 0) {
        return waitMs;
    }
    return std::max(waitMs, std::min<std::int64_t>(kLongestFinalWaitMs, 1000 + size / 50000));
}

PlainSender::Actions PlainSender::finished(const std::string& name, const TransferMemory& memory,
                                           bool plain, std::int64_t nowMs) {
    // A verified file needs none of the plain protocol's guards against stray headers. A plain one
    // is kept even on a link that showed no stray yet: a late copy of its header may be the first,
    // and would make the server start it anew with nothing left here to send again.
    guard_.fileFinished(plain);
    if (plain) {
        guard_.holdBack(name, memory, size_, nowMs);
        add(SenderAction::Kind::HoldBack, 0, nowMs + guard_.heldBackMs());
    } else {
        add(SenderAction::Kind::Delete);
    }
    actions_.back().name = name;
    return take();
}

void PlainSender::dropped() {
    awaiting_ = Awaiting::Nothing;
    restartQuietUntilMs_ = -1;
    current_.clear();
}

void PlainSender::keepOnly(const std::set<std::string_view>& listed) {
    std::erase_if(transfers_, [&listed](const auto& item) { return !listed.contains(item.first); });
}

const TransferMemory* PlainSender::find(const std::string& name) const {
    const auto found = transfers_.find(name);
    return found == transfers_.end() ? nullptr : &found->second;
}

std::size_t lengthClearOfHeaderMarks(std::string_view piece) {
    std::size_t n = piece.size();
    if (n < 3 || !piece.starts_with("BEG")) {
        return n;
    }
    while (n > 3 && piece.substr(n - 3, 3) == "END") {
        --n;
    }
    return n;
}

} // namespace zelk
