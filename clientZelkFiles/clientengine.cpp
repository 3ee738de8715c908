#include "clientengine.h"

#include "codec.h"
#include "filerecord.h"
#include "fsops.h"
#include "numeric.h"

#include <QFile>
#include <QHostInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <set>
#include <unistd.h>

namespace zelk {
namespace {

QString decodedName(const std::string& name) {
    return QFile::decodeName(QByteArray(name.data(), static_cast<qsizetype>(name.size())));
}

// The piece length from "paquets_UdpMax=": max - 1 rounded, plus 1, kept within what one frame
// can carry.
std::size_t pieceMaxOf(std::string_view setting) {
    const std::int64_t lessOne = roundHalfEven(numericValue(setting) - 1.0);
    return static_cast<std::size_t>(std::clamp<std::int64_t>(lessOne, 0, kMaxPayload - 1) + 1);
}

int progressOf(std::int64_t p, std::int64_t total) {
    return static_cast<int>(
        std::floor(static_cast<double>(p) / static_cast<double>(total) * 100.0));
}

} // namespace

EngineTimer::EngineTimer(QObject* parent, std::function<void()> onTick)
    : timer_(parent), onTick_(std::move(onTick)) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { fired(); });
}

void EngineTimer::setInterval(std::int64_t milliseconds) {
    interval_ = static_cast<int>(std::clamp<std::int64_t>(milliseconds, 0, INT_MAX));
    timer_.stop();
    if (enabled_ && interval_ > 0) {
        due_ = Clock::now() + std::chrono::milliseconds(interval_);
        armFor(std::chrono::milliseconds(interval_));
    }
}

void EngineTimer::enable() {
    if (enabled_) {
        return;
    }
    enabled_ = true;
    if (interval_ <= 0) {
        return;
    }
    due_ = Clock::now() + std::chrono::milliseconds(interval_);
    // Already running (set for an earlier enabling): it fires early and is set again then.
    if (!timer_.isActive()) {
        armFor(std::chrono::milliseconds(interval_));
    }
}

void EngineTimer::fired() {
    if (!enabled_ || interval_ <= 0) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (now < due_) {
        armFor(due_ - now);
        return;
    }
    due_ = now + std::chrono::milliseconds(interval_);
    armFor(std::chrono::milliseconds(interval_));
    onTick_();
}

void EngineTimer::armFor(Clock::duration left) {
    // Rounded up: a timer set short would only fire early and be set again.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    timer_.start(static_cast<int>(std::clamp<std::int64_t>(ms, 1, INT_MAX)));
}

ClientEngine::ClientEngine(QObject* parent)
    : QObject(parent), timLoopEnvoi_(this, [this] { timLoopEnvoi_Timer(); }),
      timAttente_(this, [this] { timAttente_Timer(); }),
      frame_(kMaxFramePrefix + kMaxPayload, '\0'),
      extended_(sender_, firstFile_,
                ExtRandom{[] { return QRandomGenerator::system()->generate64(); }, ext::newNonce,
                          ext::newKey}),
      session_(outboxFiles_, ExtRandom{[] { return QRandomGenerator::system()->generate64(); },
                                       ext::newNonce, ext::newKey}) {
    extBatch_.resize(kBatchBytes);
    extQueued_.reserve(kBatchDatagrams);
    extTimer_.setSingleShot(true);
    extTimer_.setTimerType(Qt::PreciseTimer);
    connect(&extTimer_, &QTimer::timeout, this, [this] {
        if (session_.active()) {
            runSession(session_.wakeTimeout(nowUs()));
        } else {
            runExtended(extended_.wakeTimeout(nowUs()));
        }
    });
    paceTimer_.setSingleShot(true);
    paceTimer_.setTimerType(Qt::PreciseTimer);
    connect(&paceTimer_, &QTimer::timeout, this, [this] {
        if (session_.active()) {
            runSession(session_.wakePace(nowUs()));
        } else {
            runExtended(extended_.wakePace(nowUs()));
        }
    });
    udpSend_.setHandler([this](std::string_view bytes, const QHostAddress& from, quint16 port) {
        udpSend_DataArrival(bytes, from, port);
    });
}

bool ClientEngine::start(const ClientConfig& config, QString& error) {
    cfg_ = config;
    cfg_.cfgIdOrigine = originIdentifier(cfg_.cfgIdOrigine);
    trace_.setEnabled(traceWanted(cfg_.cfgTrace));
    extensionOn_ = extensionWanted(cfg_.cfgExtension);
    clock_.start();
    if (!cfg_.idOrigineLu) {
        error = QStringLiteral("the configuration has no \"id_de_Lorigine=\" line, and every "
                               "datagram must carry the origin identifier");
        return false;
    }
    // Before any socket: a key file that cannot be used stops the start-up with nothing opened.
    if (!loadKey(error)) {
        return false;
    }
    scan_ = std::make_unique<OutboxScan>(cfg_.cfgRepertoire, kLargestExtendedFile);
    if (!makeOutbox(error)) {
        return false;
    }
    const std::int64_t localPort = wholeValue(cfg_.cfgPortLocal);
    QString bindError;
    if (localPort < 0 || localPort > 65535 ||
        !udpSend_.bind(static_cast<quint16>(localPort), bindError)) {
        error = QStringLiteral("the local UDP port \"%1\" (\"ip_port_locals=\") cannot be bound%2")
                    .arg(QString::fromLatin1(cfg_.cfgPortLocal),
                         bindError.isEmpty() ? QString() : QStringLiteral(": ") + bindError);
        return false;
    }
    if (!checkDestinationPort(error)) {
        return false;
    }
    resolveDestination();
    timLoopEnvoi_.setInterval(wholeValue(cfg_.cfgDelaiScan));
    waitMs_ = wholeValue(cfg_.cfgDelaiAttente);
    timAttente_.setInterval(waitMs_);
    pieceMax_ = pieceMaxOf(cfg_.cfgPaquetsMax);
    extPiece_ =
        extendedDatagramOf(cfg_.cfgTrameZX1) -
        static_cast<std::int64_t>(extended_.keyed() ? ext::kSealedOverhead : ext::kHeadBytes);
    rateCap_ = rateCapOf(cfg_.cfgDebitMaxi);
    sender_ = PlainSender(PlainSender::settingsFor(pieceMax_, waitMs_));
    sender_.setKeyed(extended_.keyed());
    transfers_ = transfersOf(cfg_.cfgTransfertsMaxi);
    extended_.configure({cfg_.cfgIdOrigine, extPiece_, rateCap_, extensionOn_, transfers_});
    session_.configure(
        {cfg_.cfgIdOrigine, extPiece_, rateCap_, transfers_, ExtendedSession::kFirstFlightPieces});
    settleMs_ = cfg_.cfgDelaiStable.empty()
                    ? kDefaultSettleMs
                    : std::max<std::int64_t>(0, wholeValue(cfg_.cfgDelaiStable));
    timLoopEnvoi_.enable();
    running_ = true;
    setProgress(0);
    if (trace_.enabled()) {
        trace_.write("client started", "origin \"" + cfg_.cfgIdOrigine + "\", outbox " +
                                           cfg_.cfgRepertoire + ", local UDP port " +
                                           std::to_string(boundPort()) + ", pieces of " +
                                           std::to_string(pieceMax_) + " bytes, " +
                                           std::to_string(lstFilPos_.size()) + " file(s) listed");
    }
    return true;
}

// A port that cannot be one would leave the client running for ever without sending anything.
bool ClientEngine::checkDestinationPort(QString& error) {
    const std::int64_t port = wholeValue(cfg_.cfgPortDest);
    if (port >= 1 && port <= 65535) {
        destinationPort_ = static_cast<int>(port);
        return true;
    }
    error = QStringLiteral("the server port \"%1\" (\"ip_portadresse=\") is not a port number "
                           "(1 to 65535)")
                .arg(QString::fromLatin1(cfg_.cfgPortDest));
    return false;
}

bool ClientEngine::makeOutbox(QString& error) {
    if (Set_FilPos()) {
        scan_->watch();
        watchOutbox();
        return true;
    }
    error = QStringLiteral("the outbox folder \"%1\" (\"directoryFiles=\") cannot be made: %2")
                .arg(QFile::decodeName(cfg_.cfgRepertoire.c_str()),
                     QString::fromLocal8Bit(scanError_.c_str()));
    return false;
}

void ClientEngine::resolveDestination() {
    const QString host = QString::fromLatin1(cfg_.cfgAdresseDest).trimmed();
    destination_.clear();
    lastLookUpMs_ = nowMs();
    if (!host.isEmpty() && !destination_.setAddress(host)) {
        const QHostInfo info = QHostInfo::fromName(host);
        if (info.error() == QHostInfo::NoError && !info.addresses().isEmpty()) {
            destination_ = info.addresses().constFirst();
        }
    }
    const char* event = destination_.isNull() ? "destination unresolved" : "destination";
    if (trace_.wants(event)) {
        const std::string port = " port " + std::to_string(destinationPort_);
        trace_.write(event, destination_.isNull()
                                ? (host.isEmpty() ? std::string("(none)") : host.toStdString()) +
                                      port + ": nothing can be sent until it resolves" +
                                      (host.startsWith(QLatin1Char('['))
                                           ? " (write an IPv6 address without brackets)"
                                           : "")
                                : destination_.toString().toStdString() + port);
    }
}

// A name that did not resolve at start-up (no network yet, say) is looked up again from the send
// loop, without blocking it and at most every kLookUpEveryMs, until it resolves.
void ClientEngine::retryLookUp() {
    const QString host = QString::fromLatin1(cfg_.cfgAdresseDest).trimmed();
    if (!destination_.isNull() || lookingUp_ || host.isEmpty() ||
        nowMs() - lastLookUpMs_ < kLookUpEveryMs) {
        return;
    }
    lookingUp_ = true;
    lastLookUpMs_ = nowMs();
    QHostInfo::lookupHost(host, this, [this, host](const QHostInfo& info) {
        lookingUp_ = false;
        const bool found = info.error() == QHostInfo::NoError && !info.addresses().isEmpty();
        if (found) {
            destination_ = info.addresses().constFirst();
        }
        if (trace_.wants(found ? "destination resolved" : "destination unresolved")) {
            trace_.write(found ? "destination resolved" : "destination unresolved",
                         (host + QStringLiteral(": ") +
                          (found ? destination_.toString() : info.errorString()))
                             .toStdString());
        }
    });
}

std::vector<std::string> ClientEngine::fileNames() const {
    std::vector<std::string> names;
    names.reserve(lstFilPos_.size());
    for (const Listed& item : lstFilPos_) {
        names.push_back(item.name);
    }
    return names;
}

std::string ClientEngine::fullPath(const std::string& name) const {
    return joinPath(cfg_.cfgRepertoire, name);
}

bool ClientEngine::Set_FilPos() {
    lstFilPos_.clear();
    const bool existed = folderExists(cfg_.cfgRepertoire);
    outboxMissing_ = !existed && !createFolder(cfg_.cfgRepertoire, scanError_);
    if (!existed && !outboxMissing_ && running_) {
        trace_.write("outbox renewed", cfg_.cfgRepertoire +
                                           " was gone (removed or moved while the client ran) "
                                           "and has been made again, empty");
    }
    if (outboxMissing_) {
        // At start-up the failure is the program's one line of cause; later it is an error.
        if (running_ ? trace_.wants("outbox not made") : trace_.enabled()) {
            trace_.write("outbox not made", cfg_.cfgRepertoire + ": " + scanError_);
        }
        emit listChanged();
        return false;
    }
    std::vector<OutboxScan::Rejection> rejected;
    for (const OutboxScan::Candidate& found : scan_->scan(nowMs(), rejected)) {
        lstFilPos_.push_back(Listed{found.name, found.stamp, found.stillSinceMs});
    }
    traceRejections(rejected);
    if (scan_->readError() != 0 && trace_.wants("outbox unreadable")) {
        trace_.write("outbox unreadable", cfg_.cfgRepertoire + ": " +
                                              std::strerror(scan_->readError()) +
                                              "; its files wait until it can be read");
    }
    std::erase_if(lstFilPos_, [this](const Listed& listed) { return holdingBack(listed.name); });
    std::set<std::string_view> listed;
    for (const Listed& item : lstFilPos_) {
        listed.insert(item.name);
    }
    sender_.keepOnly(listed);
    emit listChanged();
    return true;
}

// An entry left out is traced when the scan first finds it so, not at every scan.
void ClientEngine::traceRejections(const std::vector<OutboxScan::Rejection>& rejected) {
    if (!trace_.wants("file not listed")) {
        return;
    }
    for (const OutboxScan::Rejection& entry : rejected) {
        trace_.write("file not listed", "\"" + entry.name + "\" stays in the outbox: " +
                                            OutboxScan::describe(entry.verdict));
    }
}

void ClientEngine::timLoopEnvoi_Timer() {
    Lance_Envoi();
}

// A file dropped into an idle client's outbox goes at once, not at the loop's next tick.
void ClientEngine::watchOutbox() {
    if (scan_->eventHandle() < 0) {
        return;
    }
    outboxEvents_ = std::make_unique<QSocketNotifier>(scan_->eventHandle(), QSocketNotifier::Read);
    connect(outboxEvents_.get(), &QSocketNotifier::activated, this, [this] { outboxChanged(); });
}

// The reports are read whatever the client does, so that they never keep the queue readable.
void ClientEngine::outboxChanged() {
    if (scan_->changed() && idle()) {
        Lance_Envoi();
    }
}

// Nothing listed, nothing awaited: only the loop's tick would look at the outbox again.
bool ClientEngine::idle() const {
    return running_ && lstFilPos_.empty() && timLoopEnvoi_.enabled() && !timAttente_.enabled();
}

void ClientEngine::timAttente_Timer() {
    reader_.release();
    timAttente_.disable();
    timLoopEnvoi_.enable();
    if (lstFilPos_.empty()) {
        sender_.stopWaiting();
        return;
    }
    // An offer answered plainly is no silence: it goes again at the next tick.
    run(sender_.waitRanOut(nowMs(), extended_.offerAnsweredPlainly(), lstFilPos_.size() > 1));
}

// No answer came in time: the window says since when the server is silent.
void ClientEngine::silence() {
    if (!silentSince_.isValid()) {
        silentSince_ = QDateTime::currentDateTime();
        emit statusChanged();
    }
    if (trace_.wants("no answer")) {
        trace_.write("no answer", "from " + destination_.toString().toStdString() + " port " +
                                      std::to_string(destinationPort_) + " within " +
                                      std::to_string(timAttente_.interval()) + " ms for \"" +
                                      lstFilPos_.front().name +
                                      "\": it is announced again at the next tick");
    }
}

void ClientEngine::Lance_Envoi() {
    timLoopEnvoi_.disable();
    reader_.release();
    if (session_.active() || session_.lingering(nowUs())) {
        // The session offers the files itself; the loop lists the outbox for it.
        offerMore();
        timLoopEnvoi_.enable();
        return;
    }
    const PlainSender::Actions actions = sender_.tick(nowMs());
    run(actions);
    if (std::any_of(actions.begin(), actions.end(), [](const SenderAction& action) {
            return action.kind == SenderAction::Kind::Pause;
        })) {
        return;
    }
    retryLookUp();
    // The files a scan finds go at once: one tick to list them and another to send would hold
    // each drop back a whole interval.
    if (lstFilPos_.empty() && (!Set_FilPos() || lstFilPos_.empty())) {
        timLoopEnvoi_.enable();
        return;
    }
    if (!passesOpenTest(lstFilPos_.front())) {
        timAttente_.enable();
        return;
    }
    Envoie_Entete();
    timAttente_.enable();
}

// Drops the first file, saying why, when it may not be sent now.
bool ClientEngine::passesOpenTest(const Listed& item) {
    const std::string path = fullPath(item.name);
    switch (probeWriters(path, leasesAllowed_)) {
    case WriterProbe::NoWriter:
        return true;
    case WriterProbe::Unknown: {
        // Without a lease nothing tells whether someone still writes the file: it must have
        // stayed unchanged for the settle time.
        const auto stamp = stampOf(path);
        if (stamp == item.scanStamp && nowMs() - item.stillSinceMs >= settleMs_) {
            return true;
        }
        scan_->touch();
        dropFirst(stamp == item.scanStamp ? "unchanged for less than the settle time"
                                          : "changed since the scan: it may be being written");
        return false;
    }
    case WriterProbe::Writer:
        dropFirst("held open for writing by another program");
        return false;
    case WriterProbe::Unreadable:
        if (const auto stamp = stampOf(path)) {
            scan_->reject(item.name, *stamp, OutboxScan::Verdict::NotReadable);
        }
        dropFirst("not readable by the client (permission denied); tried again once it changes");
        return false;
    case WriterProbe::NotRegular:
        scan_->touch();
        dropFirst("no longer a regular file");
        return false;
    case WriterProbe::Unopenable:
        break;
    }
    dropFirst("vanished or cannot be opened");
    return false;
}

void ClientEngine::Envoie_Entete() {
    Listed& item = lstFilPos_.front();
    const auto stamp = stampOf(fullPath(item.name));
    if (!stamp || stamp->size == 0 || stamp->size > kLargestExtendedFile) {
        dropFirst(stamp ? "empty or too large" : "vanished");
        return;
    }
    if (stamp->size > kLargestFile && !extended_.offering(nowUs())) {
        scan_->reject(item.name, *stamp, OutboxScan::Verdict::TooLarge);
        dropFirst("larger than 2147483646 bytes, which the server cannot take; it stays until it "
                  "changes or the client starts again");
        return;
    }
    sendHeader(item, *stamp);
}

void ClientEngine::sendHeader(const Listed& item, const FileStamp& stamp) {
    tailleFichier_ = stamp.size;
    // The size-0 header is a plain repair: an offer needs none, the extension's transfers being
    // named and verified.
    const std::int64_t now = nowMs();
    run(sender_.header(item.name, stamp, item.scanStamp,
                       !extended_.keyed() && !extended_.offering(nowUs()), now));
}

// A server whose copy is damaged is made to start the file anew by a header of the same name with
// another size (0, which never completes) before the real one: a server, ours or another, then
// starts a new transfer, which replaces its copy.
void ClientEngine::announce(const SenderAction& action) {
    const bool reset = action.kind == SenderAction::Kind::Reset;
    extended_.headerSent(action.name, tailleFichier_);
    // A header sent again leaves the bar at what the server was last known to hold.
    setProgress(action.from <= 0 ? 0 : progressOf(action.from, tailleFichier_));
    if (reset) {
        if (trace_.enabled()) {
            trace_.write("header sent", "\"" + action.name +
                                            "\" announced with size 0, so that the server starts "
                                            "its copy anew");
        }
    } else {
        traceHeader(action.name); // keeps the times of the file's record, trace on or off
        emit headerSent(decodedName(action.name));
    }
    rateMarkUs_ = -1;
    if (!reset && extended_.offering(nowUs())) {
        send(extended_.offeredHeader());
        return;
    }
    send(buildHeaderFrame(cfg_.cfgIdOrigine, action.name, reset ? 0 : tailleFichier_));
}

void ClientEngine::Envoie_Contenu(std::int64_t p) {
    if (lstFilPos_.empty()) {
        timLoopEnvoi_.enable();
        return;
    }
    const std::string& path = pathOfFirst();
    const auto total = reader_.lengthOf(path);
    if (!total) {
        dropFirst("vanished");
        return;
    }
    const PlainSender::Actions next = sender_.piece(p, *total, nowMs());
    if (next.front().kind == SenderAction::Kind::Finish) {
        finishFirst();
        return;
    }
    setProgress(progressOf(p, *total));
    measureRate("simple", p);
    if (!sendPiece(path, p, static_cast<std::size_t>(next.front().size), *total)) {
        dropFirst("cannot be read");
    }
}

bool ClientEngine::sendPiece(const std::string& path, std::int64_t p, std::size_t n,
                             std::int64_t total) {
    char* payload = frame_.data() + kMaxFramePrefix;
    const auto got = reader_.readAt(path, p, payload, n);
    if (!got || *got != n) {
        return false;
    }
    n = lengthClearOfHeaderMarks(std::string_view(payload, n));
    char prefix[kMaxFramePrefix];
    const std::size_t prefixLength = writeContentPrefix(prefix, cfg_.cfgIdOrigine, n);
    char* frameStart = payload - prefixLength;
    std::memcpy(frameStart, prefix, prefixLength);
    plainSentBytes_ += static_cast<std::int64_t>(n);
    run(sender_.pieceSent(p, static_cast<std::int64_t>(n), total));
    send(std::string_view(frameStart, prefixLength + n));
    return true;
}

// Built again only when another file comes first.
const std::string& ClientEngine::pathOfFirst() {
    const std::string& name = lstFilPos_.front().name;
    if (firstPath_.empty() || firstName_ != name) {
        firstName_ = name;
        firstPath_ = fullPath(name);
    }
    return firstPath_;
}

TransferMemory& ClientEngine::memoryOfFirst() {
    return sender_.memory(lstFilPos_.front().name);
}

void ClientEngine::finishFirst(bool plain) {
    reader_.release();
    const std::string name = lstFilPos_.front().name;
    const std::string path = fullPath(name);
    const TransferMemory memory = memoryOfFirst();
    recordSent(name, memory);
    sender_.forget(name);
    traced_.clear();
    setProgress(0);
    setStatus({});
    lstFilPos_.erase(lstFilPos_.begin());
    emit listChanged();
    timLoopEnvoi_.enable();
    if (!fileExists(path)) {
        return;
    }
    if (!safeToDelete(memory.startStamp, path)) {
        if (trace_.enabled()) {
            trace_.write("file kept", name + ": changed or being written since its transfer began");
        }
        scan_->touch();
        emit fileKept(decodedName(name));
        return;
    }
    run(sender_.finished(name, memory, plain, nowMs()));
}

// The server holds the file whole: its record, before the outbox is tidied.
void ClientEngine::recordSent(const std::string& name, const TransferMemory& memory) {
    FileRecord record;
    record.origin = cfg_.cfgIdOrigine.substr(0, cfg_.cfgIdOrigine.find_last_not_of(' ') + 1);
    record.name = name;
    record.size = tailleFichier_;
    record.durationMs = started_.isValid() ? started_.elapsed() : 0;
    record.bytesThisRun = std::max<std::int64_t>(tailleFichier_ - runStartBytes_, 0);
    // Plain pieces go again only after a silence or a restart of the file: what was sent beyond
    // the bytes this run had to move.
    record.bytesResent = resentBytes_ >= 0 || memory.transfer != 0
                             ? resentBytes_
                             : std::max<std::int64_t>(plainSentBytes_ - record.bytesThisRun, 0);
    record.extended = memory.transfer != 0 && memory.fileDigest.has_value();
    if (record.extended) {
        record.sha256 = ext::digestHex(*memory.fileDigest);
    }
    record.result = "delivered";
    record.peer =
        destination_.toString().toStdString() + " port " + std::to_string(destinationPort_);
    recordFile(trace_, record);
}

// Kept in the outbox a while: a stray header of it may still make the server start it anew.
void ClientEngine::traceHeldBack(const std::string& name) {
    if (trace_.enabled()) {
        trace_.write("file finished", "\"" + name + "\", " +
                                          transferSummary(tailleFichier_, started_.elapsed(),
                                                          tailleFichier_ - runStartBytes_) +
                                          "; deleted from the outbox in " +
                                          std::to_string(sender_.guard().heldBackMs()) +
                                          " ms unless a stray frame shows that the server lost it");
    }
}

// A held-back file's time is up: no stray frame can undo its copy any more.
void ClientEngine::deleteDue(const SenderAction& action) {
    const std::string path = fullPath(action.name);
    if (!safeToDelete(action.stamp, path)) {
        scan_->touch();
        emit fileKept(decodedName(action.name));
        return;
    }
    deleteFinished(action.name, path, action.size);
}

// A stray header may have made the server start this held-back file anew: it goes again, whole.
void ClientEngine::sendAgain(const std::string& name) {
    if (trace_.enabled()) {
        trace_.write("file sent again",
                     "\"" + name + "\": a stray header may have made the server start it anew");
    }
    scan_->touch();
}

// A file that cannot be deleted would otherwise be sent whole again at every scan.
void ClientEngine::deleteFinished(const std::string& name, const std::string& path,
                                  std::int64_t size, std::string summary) {
    if (unlink_(path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        if (const auto stamp = stampOf(path)) {
            scan_->reject(name, *stamp, OutboxScan::Verdict::DeleteFailed);
        }
        if (trace_.wants("file not deleted")) {
            trace_.write("file not deleted",
                         "\"" + name + "\" arrived whole but cannot be deleted from the outbox (" +
                             reason + "); it is not sent again until it changes");
        }
        emit fileKept(decodedName(name));
        return;
    }
    scan_->forget(name);
    if (trace_.enabled()) {
        if (summary.empty()) {
            summary = transferSummary(size, started_.elapsed(), size - runStartBytes_);
        }
        trace_.write("file finished", "\"" + name + "\", " + summary + ", deleted from the outbox");
    }
    emit fileDone(decodedName(name));
}

// The server holds the file as it was when its transfer began; a file that changed since then,
// or that someone still writes, would lose its new bytes if deleted now.
bool ClientEngine::safeToDelete(const std::optional<FileStamp>& startStamp,
                                const std::string& path) const {
    const WriterProbe probe = probeWriters(path, leasesAllowed_);
    if (probe != WriterProbe::NoWriter && probe != WriterProbe::Unknown) {
        return false;
    }
    return startStamp && stampOf(path) == startStamp;
}

void ClientEngine::dropFirst(std::string_view why) {
    leaveExtended();
    reader_.release();
    sender_.dropped();
    const std::string name = lstFilPos_.front().name;
    lstFilPos_.erase(lstFilPos_.begin());
    setProgress(0);
    setStatus({});
    emit listChanged();
    if (trace_.wants("file dropped")) {
        trace_.write("file dropped", "\"" + name + "\": " + std::string(why) +
                                         "; it stays in the outbox for a later scan");
    }
    traced_.clear();
    emit fileDropped(decodedName(name));
}

bool ClientEngine::fromServer(const QHostAddress& from, quint16 fromPort) const {
    return !destination_.isNull() && fromPort == destinationPort_ &&
           sameAddress(from, destination_);
}

// The only place the client reads from the network. The extension's answers go to its own code;
// a plain answer goes to the plain sender, which takes at most one answer for the frame that waits.
void ClientEngine::udpSend_DataArrival(std::string_view bytes, const QHostAddress& from,
                                       quint16 fromPort) {
    // Only the server may move the engine: anyone else could end a file, and so delete it.
    if (!fromServer(from, fromPort)) {
        ++strangerDatagrams_;
        if (trace_.enabled()) {
            trace_.write("datagram ignored", "from " + from.toString().toStdString() + " port " +
                                                 std::to_string(fromPort));
        }
        return;
    }
    heardFromServer();
    if (session_.active() && !bytes.empty() &&
        (bytes[0] == ext::kStart || bytes[0] == ext::kSealedStart)) {
        runSession(session_.datagram(bytes, nowUs()));
        return;
    }
    if (session_.active() && session_.ownsAnswer(bytes)) {
        runSession(session_.answer(bytes, nowUs()));
        return;
    }
    if (!bytes.empty() && (bytes[0] == ext::kStart || bytes[0] == ext::kSealedStart)) {
        runExtended(extended_.datagram(
            bytes, lstFilPos_.empty() ? nullptr : &lstFilPos_.front().name, nowUs()));
        return;
    }
    const auto p = bytes.size() == 1 ? std::nullopt : readAck(bytes);
    if (p && sender_.awaiting() == PlainSender::Awaiting::Header && extended_.awaitsOffer() &&
        !lstFilPos_.empty() && takeAcceptance(bytes, *p)) {
        return;
    }
    if (p && answersAnOffer(bytes)) {
        // An acceptance or a challenge come late or twice: it answers an offer, never a plain
        // header or piece, and the plain protocol's repairs have nothing to learn from it.
        if (trace_.enabled()) {
            trace_.write("answer ignored", std::string(bytes) + ": an answer to an earlier offer");
        }
        return;
    }
    if (lstFilPos_.empty()) {
        sender_.stopWaiting();
    }
    for (const SenderAction& action : sender_.answer(p, nowMs())) {
        if (action.kind != SenderAction::Kind::Unasked) {
            perform(action);
        } else if (trace_.enabled()) {
            trace_.write("answer ignored", std::string(bytes) + (p ? ": nothing waits for one"
                                                                   : ": no acknowledgement"));
        }
    }
}

void ClientEngine::stopWaiting() {
    sender_.stopWaiting();
    timLoopEnvoi_.disable();
    timAttente_.disable();
}

void ClientEngine::run(const PlainSender::Actions& actions) {
    for (const SenderAction& action : actions) {
        perform(action);
    }
}

void ClientEngine::perform(const SenderAction& action) {
    using Kind = SenderAction::Kind;
    switch (action.kind) {
    case Kind::Header:
    case Kind::Reset:
        return announce(action);
    case Kind::WaitFor:
        return waitFor(action.size);
    case Kind::WaitOn:
        return timAttente_.enable();
    case Kind::LoopOn:
    case Kind::Pause:
        return timLoopEnvoi_.enable();
    case Kind::StopWaiting:
        return stopWaiting();
    case Kind::Content:
        return Envoie_Contenu(action.from);
    case Kind::Finish:
        return finishFirst();
    case Kind::Announce:
        return Envoie_Entete();
    case Kind::Answered:
        return traceHeaderAnswer(action.from);
    case Kind::Ignored:
        return traceIgnored(action.reason);
    case Kind::Restart:
        return startOver(action.reason);
    case Kind::Silence:
        return silence();
    case Kind::MoveOn:
        return dropFirst(action.reason);
    case Kind::SendAgain:
        return sendAgain(action.name);
    case Kind::Delete:
        return deleteFinished(action.name, fullPath(action.name), tailleFichier_);
    case Kind::HoldBack:
        return traceHeldBack(action.name);
    case Kind::DeleteDue:
        return deleteDue(action);
    case Kind::Piece:
    case Kind::Unasked:
        return;
    }
}

void ClientEngine::traceIgnored(const std::string& why) {
    if (trace_.enabled()) {
        trace_.write("answer ignored", why);
    }
}

// The server's copy holds bytes in the wrong place: the file goes again from its first byte.
void ClientEngine::startOver(const std::string& why) {
    reader_.release();
    timLoopEnvoi_.enable();
    if (trace_.enabled()) {
        trace_.write("file restarted",
                     "\"" + lstFilPos_.front().name + "\" from its first byte: " + why);
    }
}

// The first header of a file starts it; a header sent again follows a silence.
void ClientEngine::traceHeader(const std::string& name) {
    if (traced_ != name) {
        traced_ = name;
        headers_ = 1;
        runStartBytes_ = 0;
        resentBytes_ = -1;
        plainSentBytes_ = 0;
        started_.start();
        lastHeader_.start();
        trace_.write("file started", "\"" + name + "\" of " + std::to_string(tailleFichier_) +
                                         " bytes, to " + destination_.toString().toStdString() +
                                         " port " + std::to_string(destinationPort_));
        return;
    }
    ++headers_;
    trace_.write("header sent again",
                 "\"" + name + "\" after " + std::to_string(lastHeader_.restart()) + " ms");
}

// The answer to a header says where the server stands: anywhere but the first byte is a resume.
void ClientEngine::traceHeaderAnswer(std::int64_t p) {
    if (lstFilPos_.empty()) {
        return;
    }
    if (headers_ == 1) {
        runStartBytes_ = p; // what an earlier run sent: not this run's to count
    }
    if (!trace_.enabled()) {
        return;
    }
    if (p == 0) {
        if (headers_ > 1) {
            trace_.write("file restarted", "\"" + lstFilPos_.front().name +
                                               "\" from position 1: the server holds none of it");
        }
        return;
    }
    trace_.write("file resumed", "\"" + lstFilPos_.front().name + "\" at position " +
                                     std::to_string(p + 1) + " of " +
                                     std::to_string(tailleFichier_) + ": the server holds " +
                                     std::to_string(p) + " bytes");
}

void ClientEngine::send(std::string_view datagram) {
    // A failed or impossible send is a lost datagram: the wait timer brings the header back.
    if (destination_.isNull() || destinationPort_ < 1 || destinationPort_ > 65535) {
        return;
    }
    udpSend_.sendTo(datagram, destination_, static_cast<quint16>(destinationPort_));
}

void ClientEngine::sendMany(std::span<const std::string_view> datagrams) {
    if (destination_.isNull() || destinationPort_ < 1 || destinationPort_ > 65535) {
        return;
    }
    udpSend_.sendManyTo(datagrams, destination_, static_cast<quint16>(destinationPort_));
}

void ClientEngine::waitFor(std::int64_t ms) {
    if (ms != timAttente_.interval()) {
        timAttente_.setInterval(ms);
    }
}

void ClientEngine::heardFromServer() {
    if (silentSince_.isValid()) {
        silentSince_ = QDateTime();
        emit statusChanged();
    }
}

ClientActivity ClientEngine::activity() const {
    using Kind = ClientActivity::Kind;
    if (outboxMissing_) {
        return {Kind::OutboxMissing, scanError_, {}};
    }
    if (scan_ && scan_->readError() != 0) {
        return {Kind::OutboxUnreadable, std::strerror(scan_->readError()), {}};
    }
    if (destination_.isNull()) {
        return {Kind::DestinationUnknown, cfg_.cfgAdresseDest, {}};
    }
    if (lstFilPos_.empty()) {
        return {};
    }
    const std::string& first = lstFilPos_.front().name;
    if (extended_.unproven()) {
        return {Kind::KeyUnproven, first, {}};
    }
    if (const TransferMemory* memory = sender_.find(first);
        memory && memory->unknowns >= ExtendedSender::kUnknownsShown) {
        return {Kind::ServerCannotKeep, first, {}};
    }
    if (silentSince_.isValid()) {
        return {Kind::Waiting, first, silentSince_};
    }
    if (session_.underWay() > 1) {
        return {Kind::SendingSeveral, std::to_string(session_.underWay()), {}};
    }
    return {Kind::Sending, first, {}};
}

void ClientEngine::setProgress(int value) {
    if (value == pgbTrx_) {
        return;
    }
    pgbTrx_ = value;
    emit progressChanged(value);
}

} // namespace zelk
