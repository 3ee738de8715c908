// The shell of a session of several extended transfers: what the session decides, done with the
// socket, the timers, the outbox and the trace. The first file's accepted offer opens it when the
// server grants more than one transfer; while it is open the send loop only lists the outbox for
// it, and once nothing is under way the files go one at a time again, from the first listed.

#include "clientengine.h"

#include "filerecord.h"
#include "fsops.h"

#include <QFile>
#include <QTimer>
#include <algorithm>

namespace zelk {
namespace {

QString decodedName(const std::string& name) {
    return QFile::decodeName(QByteArray::fromStdString(name));
}

} // namespace

std::optional<std::int64_t> ClientEngine::OutboxFiles::length(const std::string& name) {
    return engine_.readerOf(engine_.fullPath(name)).lengthOf(engine_.fullPath(name));
}

std::optional<FileStamp> ClientEngine::OutboxFiles::stamp(const std::string& name) {
    return stampOf(engine_.fullPath(name));
}

long ClientEngine::OutboxFiles::read(const std::string& name, char* into, std::size_t n,
                                     std::int64_t offset) {
    const std::string path = engine_.fullPath(name);
    PieceReader& reader = engine_.readerOf(path);
    const auto got = reader.lengthOf(path) ? reader.readAt(path, offset, into, n) : std::nullopt;
    return got ? static_cast<long>(*got) : -1L;
}

// A few files stay open while their pieces go in turn; the one used longest ago gives way.
PieceReader& ClientEngine::readerOf(const std::string& path) {
    auto it = std::ranges::find(openFiles_, path, &OpenFile::path);
    if (it == openFiles_.end()) {
        if (openFiles_.size() < kOpenFiles) {
            openFiles_.push_back(OpenFile{path, std::make_unique<PieceReader>(), 0});
            it = openFiles_.end() - 1;
        } else {
            it = std::ranges::min_element(openFiles_, {}, &OpenFile::used);
            it->reader->release();
            it->path = path;
        }
    }
    it->used = ++openUse_;
    return *it->reader;
}

void ClientEngine::openSession(const ExtAction& granted) {
    reader_.release();
    const std::string name = lstFilPos_.front().name;
    const TransferMemory& known = memoryOfFirst();
    if (trace_.enabled()) {
        trace_.write("extended protocol", "\"" + name + "\": the server takes the extension and " +
                                              std::to_string(granted.value) +
                                              " files at once; it holds " +
                                              std::to_string(granted.size) + " of its " +
                                              std::to_string(tailleFichier_) + " bytes");
    }
    rateMarkUs_ = -1;
    runSession(session_.adopt(name, tailleFichier_,
                              ext::Accept{static_cast<std::uint64_t>(granted.extra), granted.size},
                              static_cast<int>(granted.value), known.digest, known.startStamp,
                              nowUs(), extended_.handOver()));
    offerMore();
    timLoopEnvoi_.enable();
}

// The listed files not under way are offered while there is room; the outbox is listed again
// once every listed file is.
void ClientEngine::offerMore() {
    const auto waiting = [this] {
        return std::ranges::any_of(
            lstFilPos_, [this](const Listed& item) { return !session_.holds(item.name); });
    };
    if (session_.underWay() < session_.limit() && !waiting()) {
        Set_FilPos();
    }
    std::vector<std::string> names;
    names.reserve(lstFilPos_.size());
    for (const Listed& item : lstFilPos_) {
        names.push_back(item.name);
    }
    runSession(session_.offerFrom(names, nowUs()));
}

void ClientEngine::runSession(const ExtendedSession::Actions& actions) {
    bool freed = false; // a transfer ended: the next file need not wait for the loop's tick
    for (const SessionAction& action : actions) {
        if (action.kind == SessionAction::Kind::Pieces && !sendSessionPieces(action)) {
            runSession(session_.unreadable(action.transfer));
            continue;
        }
        freed = freed || ExtendedSession::ends(action);
        performSession(action);
    }
    if (freed && session_.active()) {
        offerMore();
    }
    if (session_.underWay() != underWayShown_) {
        underWayShown_ = session_.underWay();
        emit statusChanged();
    }
    if (!session_.active()) {
        sessionEnded();
    }
}

void ClientEngine::performSession(const SessionAction& action) {
    using Kind = SessionAction::Kind;
    switch (action.kind) {
    case Kind::Send:
        return send(action.text);
    case Kind::PaceIn:
        return paceTimer_.start(static_cast<int>(action.value));
    case Kind::TimeoutIn:
        // Never put off: the send loop asks again at every tick, and a tick as short as the wait
        // would keep restarting it. A wake that comes early finds nothing due and asks anew.
        if (!extTimer_.isActive() || extTimer_.remainingTime() > action.value) {
            extTimer_.start(static_cast<int>(action.value));
        }
        return;
    case Kind::TimeoutOff:
        return extTimer_.stop();
    case Kind::Step:
        QTimer::singleShot(0, this, [this, transfer = action.transfer] {
            runSession(session_.step(transfer, nowUs()));
        });
        return;
    case Kind::Progress:
        return measureRate("ZX1", action.extra);
    case Kind::Verified:
        return sessionDone(action);
    case Kind::Lost:
    case Kind::Released:
        return sessionLeft(action);
    case Kind::Silent:
        return extendedSilence();
    case Kind::KeyUnproven:
        // Said whatever the trace setting, as for one file at a time: it needs an operator.
        return trace_.write("key not proven", "the server does not prove the key: " + action.text);
    case Kind::Offered:
    case Kind::Accepted:
    case Kind::SentAgain:
    case Kind::Ignored:
        return traceSession(action);
    case Kind::Pieces:
        return;
    }
}

// The pieces of one file join those sent together; a full batch leaves first.
bool ClientEngine::sendSessionPieces(const SessionAction& action) {
    for (const ext::SendWindow::Piece& piece : action.pieces) {
        const auto n = static_cast<std::size_t>(piece.length);
        const std::size_t datagram = session_.datagramOf(n);
        if (extQueued_.size() == kBatchDatagrams || extBatchUsed_ + datagram > extBatch_.size()) {
            flushExtended();
        }
        char* frame = extBatch_.data() + extBatchUsed_;
        if (outboxFiles_.read(action.name, frame + session_.bodyAt(), n, piece.offset) !=
            static_cast<long>(n)) {
            extQueued_.clear();
            extBatchUsed_ = 0;
            return false;
        }
        extQueued_.emplace_back(frame,
                                session_.framePiece(action.transfer, frame, piece.offset, n));
        extBatchUsed_ += datagram;
    }
    flushExtended();
    return true;
}

// Verified by the server: recorded, then deleted if it is still as it was when offered.
void ClientEngine::sessionDone(const SessionAction& action) {
    const std::string path = fullPath(action.name);
    std::erase_if(lstFilPos_, [&action](const Listed& item) { return item.name == action.name; });
    sender_.forget(action.name);
    emit listChanged();
    FileRecord record;
    record.origin = cfg_.cfgIdOrigine.substr(0, cfg_.cfgIdOrigine.find_last_not_of(' ') + 1);
    record.name = action.name;
    record.size = action.size;
    record.durationMs = action.elapsedUs / 1000;
    record.bytesThisRun = std::max<std::int64_t>(action.size - action.value, 0);
    record.bytesResent = action.extra;
    record.extended = true;
    record.sha256 = action.text;
    record.result = "delivered";
    record.peer =
        destination_.toString().toStdString() + " port " + std::to_string(destinationPort_);
    recordFile(trace_, record);
    if (!fileExists(path)) {
        return;
    }
    if (!safeToDelete(action.stamp, path)) {
        if (trace_.enabled()) {
            trace_.write("file kept",
                         action.name + ": changed or being written since its transfer began");
        }
        scan_->touch();
        emit fileKept(decodedName(action.name));
        return;
    }
    sender_.guard().fileFinished(false);
    deleteFinished(
        action.name, path, action.size,
        transferSummary(action.size, action.elapsedUs / 1000, action.size - action.value) + ", " +
            std::to_string(action.extra) + " bytes sent again, SHA-256 " + action.text);
}

// The file goes back to one file at a time, which knows what to tell of it, once the session
// has nothing under way.
void ClientEngine::sessionLeft(const SessionAction& action) {
    if (action.kind == SessionAction::Kind::Lost) {
        sender_.forget(action.name); // it starts anew under another identity
        scan_->touch();
    }
    if (trace_.wants("file dropped")) {
        trace_.write("file dropped", "\"" + action.name + "\": " +
                                         (action.kind == SessionAction::Kind::Lost
                                              ? action.text
                                              : std::string("its offers went unanswered")) +
                                         "; it goes alone once the files under way are done");
    }
}

void ClientEngine::traceSession(const SessionAction& action) {
    if (!trace_.enabled()) {
        return;
    }
    switch (action.kind) {
    case SessionAction::Kind::Offered:
        return trace_.write("header sent", "\"" + action.name + "\" offered beside " +
                                               std::to_string(session_.underWay() - 1) +
                                               " files under way");
    case SessionAction::Kind::Accepted:
        return trace_.write("extended protocol", "\"" + action.name + "\": the server holds " +
                                                     std::to_string(action.value) + " of its " +
                                                     std::to_string(action.size) + " bytes");
    case SessionAction::Kind::SentAgain:
        return trace_.write("file sent again",
                            "\"" + action.name + "\": the server's copy did not have its digest");
    default:
        return trace_.write("answer ignored", action.text);
    }
}

// Nothing under way: the next file goes alone, and its offer may open a session again.
void ClientEngine::sessionEnded() {
    session_.idle(nowUs());
    extTimer_.stop();
    paceTimer_.stop();
    for (OpenFile& open : openFiles_) {
        open.reader->release();
    }
    openFiles_.clear();
    setProgress(0);
    setStatus({});
    timLoopEnvoi_.enable();
}

} // namespace zelk
