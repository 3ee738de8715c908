// The shell of the client's extension: what the extended sender decides, done with the socket,
// the timers, the outbox and the trace. Pieces are read straight into the datagrams of one batch,
// which leaves in one system call or a few.

#include "clientengine.h"

#include "codec.h"

#include <QTimer>
#include <algorithm>

namespace zelk {
namespace {

int percentOf(std::int64_t part, std::int64_t whole) {
    return whole <= 0
               ? 0
               : static_cast<int>(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
}

} // namespace

std::optional<std::int64_t> ClientEngine::FirstFile::length() {
    return engine_.reader_.lengthOf(engine_.pathOfFirst());
}

std::optional<FileStamp> ClientEngine::FirstFile::stamp() {
    return stampOf(engine_.pathOfFirst());
}

long ClientEngine::FirstFile::read(char* into, std::size_t n, std::int64_t offset) {
    const std::string& path = engine_.pathOfFirst();
    PieceReader& reader = engine_.reader_;
    const auto got = reader.lengthOf(path) ? reader.readAt(path, offset, into, n) : std::nullopt;
    return got ? static_cast<long>(*got) : -1L;
}

bool ClientEngine::loadKey(QString& error) {
    extended_.setKey(std::nullopt);
    session_.setKey(std::nullopt);
    sender_.setKeyed(false);
    if (cfg_.cfgFichierCle.empty()) {
        return true;
    }
    if (!extensionOn_) {
        error = QStringLiteral("a key (\"fichier_Cles_C=\") needs the extension, which "
                               "\"offreExtension=N\" turns off");
        return false;
    }
    std::vector<ext::KeyLine> lines;
    std::string why;
    if (!ext::loadKeyFile(cfg_.cfgFichierCle, false, lines, why)) {
        error = QString::fromLocal8Bit(why) + QStringLiteral(" (\"fichier_Cles_C=\")");
        return false;
    }
    // The first: a second is the next one, for the server's file.
    extended_.setKey(lines.front().key);
    session_.setKey(lines.front().key);
    sender_.setKeyed(true);
    return true;
}

// The answer to an offered header: true when it is taken here (accepted, or a file that only the
// extension can carry refused), false when it goes on as a plain answer.
bool ClientEngine::takeAcceptance(std::string_view bytes, std::int64_t p) {
    const ExtendedSender::Actions actions = extended_.answerToOffer(bytes, p, nowUs());
    runExtended(actions);
    return actions.empty() || actions.back().kind != ExtAction::Kind::Plain;
}

void ClientEngine::runExtended(const ExtendedSender::Actions& actions) {
    for (const ExtAction& action : actions) {
        if (action.kind == ExtAction::Kind::Pieces && !sendPieces(action.pieces)) {
            // What was to follow the pieces no longer holds.
            runExtended(extended_.unreadable());
            return;
        }
        performExtended(action);
    }
}

void ClientEngine::performExtended(const ExtAction& action) {
    using Kind = ExtAction::Kind;
    switch (action.kind) {
    case Kind::Send:
        return send(action.text);
    case Kind::HeaderAgain:
        timAttente_.disable();
        timAttente_.enable(); // the header waits its own full wait
        return send(action.text);
    case Kind::PaceIn:
        return paceTimer_.start(static_cast<int>(action.value));
    case Kind::TimeoutIn:
        return extTimer_.start(static_cast<int>(action.value));
    case Kind::TimeoutOff:
        return extTimer_.stop();
    case Kind::Step:
        // The event loop turns between two steps of hashing.
        QTimer::singleShot(0, this, [this, transfer = action.value] {
            runExtended(extended_.step(transfer, nowUs()));
        });
        return;
    case Kind::StopWaiting:
        return stopWaiting();
    case Kind::Accepted:
        rateMarkUs_ = -1;
        return traceExtended(action);
    case Kind::Progress:
        setProgress(percentOf(action.value, action.size));
        return measureRate("ZX1", action.extra);
    case Kind::Verified:
        return extendedDone(action);
    case Kind::LateVerdict:
        return lateVerdict();
    case Kind::Lost:
        return extendedLost(action.text);
    case Kind::TooLarge:
        return tooLarge();
    case Kind::Announce:
        return announceAgain(action.value != 0);
    case Kind::CannotKeep:
        emit statusChanged();
        return;
    case Kind::Silent:
        return extendedSilence();
    case Kind::PlainServer:
        return serverIsPlain(action);
    case Kind::SentAgain:
    case Kind::Ignored:
        return traceExtended(action);
    case Kind::KeyProven:
    case Kind::KeyUnproven:
        return traceKeys(action);
    case Kind::Granted:
        return openSession(action);
    case Kind::Pieces:
    case Kind::Plain:
        return;
    }
}

// The pieces join those sent together; a full batch leaves first. False when the file cannot be
// read.
bool ClientEngine::sendPieces(const std::vector<ext::SendWindow::Piece>& pieces) {
    const std::string& path = pathOfFirst();
    for (const ext::SendWindow::Piece& piece : pieces) {
        const auto n = static_cast<std::size_t>(piece.length);
        const std::size_t datagram = extended_.datagramOf(n);
        if (extQueued_.size() == kBatchDatagrams || extBatchUsed_ + datagram > extBatch_.size()) {
            flushExtended();
        }
        char* frame = extBatch_.data() + extBatchUsed_;
        const auto got = reader_.readAt(path, piece.offset, frame + extended_.bodyAt(), n);
        if (!got || *got != n) {
            extQueued_.clear();
            extBatchUsed_ = 0;
            return false;
        }
        extQueued_.emplace_back(frame, extended_.framePiece(frame, piece.offset, n));
        extBatchUsed_ += datagram;
    }
    flushExtended();
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

void ClientEngine::traceExtended(const ExtAction& action) {
    if (!trace_.enabled()) {
        return;
    }
    const std::string& name = lstFilPos_.front().name;
    switch (action.kind) {
    case ExtAction::Kind::Accepted:
        return trace_.write("extended protocol",
                            "\"" + name + "\": the server takes the extension and holds " +
                                std::to_string(action.value) + " of its " +
                                std::to_string(action.size) + " bytes");
    case ExtAction::Kind::SentAgain:
        return trace_.write("file sent again",
                            "\"" + name + "\": the server's copy did not have its digest");
    default:
        return trace_.write("answer ignored", action.text);
    }
}

void ClientEngine::traceKeys(const ExtAction& action) {
    if (action.kind == ExtAction::Kind::KeyProven) {
        if (trace_.enabled()) {
            trace_.write("key proven", "by the server, for \"" + lstFilPos_.front().name +
                                           "\": the header goes again with this client's proof");
        }
        return;
    }
    if (action.value != 0) {
        emit statusChanged();
    }
    // Said whatever the trace setting: a key the server lacks, or someone forging its answers,
    // needs an operator. The trace paces warnings that keep coming back.
    trace_.write("key not proven", "the server does not prove the key: " + action.text);
}

void ClientEngine::serverIsPlain(const ExtAction& action) {
    if (action.extra != 0 && trace_.wants("plain protocol")) {
        trace_.write("plain protocol",
                     "the server answered " + std::to_string(action.value) +
                         " offers in a row without the extension: it is taken for a plain server; "
                         "offered again in " +
                         std::to_string(ExtendedSender::kPlainServerMs / 60000) + " minutes");
    }
}

void ClientEngine::extendedDone(const ExtAction& action) {
    if (trace_.enabled()) {
        trace_.write("file verified",
                     "\"" + lstFilPos_.front().name + "\": the server holds it whole, SHA-256 " +
                         ext::digestHex(*memoryOfFirst().fileDigest) + ", extended protocol, " +
                         rateText(static_cast<double>(action.size - action.value) * 1e6 /
                                  static_cast<double>(action.elapsedUs)) +
                         ", " + std::to_string(action.extra) + " bytes sent again");
    }
    runStartBytes_ = action.value;
    resentBytes_ = action.extra;
    leaveExtended();
    finishFirst(false);
    nextAtOnce();
}

// The final answer to this client's finish, come after it gave up waiting and announced the file
// again.
void ClientEngine::lateVerdict() {
    if (trace_.enabled()) {
        trace_.write("file verified",
                     "\"" + lstFilPos_.front().name + "\": the server's final answer came late");
    }
    finishFirst(false);
    nextAtOnce();
}

// A verified file leaves nothing for the plain protocol's guards to wait out: the next file goes
// as soon as the event loop turns, not at the send loop's next tick.
void ClientEngine::nextAtOnce() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (running_ && timLoopEnvoi_.enabled() && !timAttente_.enabled()) {
                Lance_Envoi();
            }
        },
        Qt::QueuedConnection);
}

// The file cannot go on as it was: it starts anew under another identity once it can be sent.
void ClientEngine::extendedLost(const std::string& why) {
    leaveExtended();
    scan_->touch();
    dropFirst(why);
    timAttente_.enable();
}

// The server is plain, and a plain header cannot carry the file's size.
void ClientEngine::tooLarge() {
    stopWaiting();
    if (const auto stamp = stampOf(pathOfFirst())) {
        scan_->reject(lstFilPos_.front().name, *stamp, OutboxScan::Verdict::TooLarge);
    }
    dropFirst("larger than 2147483646 bytes, which the server cannot take; it stays until it "
              "changes or the client starts again");
    timAttente_.enable();
}

void ClientEngine::extendedSilence() {
    if (!silentSince_.isValid()) {
        silentSince_ = QDateTime::currentDateTime();
        emit statusChanged();
    }
}

// The server forgot the transfer, or stayed silent: the header's answer says where it stands.
void ClientEngine::announceAgain(bool silent) {
    if (silent && trace_.wants("no answer")) {
        trace_.write("no answer", "to the extended datagrams of \"" + lstFilPos_.front().name +
                                      "\": it is announced again");
    }
    leaveExtended();
    Envoie_Entete();
}

void ClientEngine::leaveExtended() {
    extended_.leave();
    extTimer_.stop();
    paceTimer_.stop();
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
