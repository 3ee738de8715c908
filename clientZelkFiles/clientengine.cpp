#include "clientengine.h"

#include "codec.h"
#include "filerecord.h"
#include "fsops.h"
#include "numeric.h"

#include <QFile>
#include <QHostInfo>
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

// A payload that begins with "BEG" and ends with "END" is taken by the server for a header, so
// such a piece is cut short; at 3 bytes it is "BEG" and safe, so the loop always ends.
std::size_t lengthClearOfHeaderMarks(const char* piece, std::size_t n) {
    if (n < 3 || std::memcmp(piece, "BEG", 3) != 0) {
        return n;
    }
    while (n > 3 && std::memcmp(piece + n - 3, "END", 3) == 0) {
        --n;
    }
    return n;
}

// An answer with a field of the extension after its three plain ones (an acceptance, a
// challenge) answers an offer.
bool extensionAnswer(std::string_view bytes) {
    const auto at = fieldStart(bytes, 3);
    return at && bytes.substr(*at).starts_with("ZX");
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
      frame_(kMaxFramePrefix + kMaxPayload, '\0'), extFrame_(ext::kLargestDatagram, '\0') {
    extBatch_.resize(kBatchBytes);
    extQueued_.reserve(kBatchDatagrams);
    extTimer_.setSingleShot(true);
    extTimer_.setTimerType(Qt::PreciseTimer);
    connect(&extTimer_, &QTimer::timeout, this, [this] { extendedTimeout(); });
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
    extPiece_ = extendedDatagramOf(cfg_.cfgTrameZX1) -
                static_cast<std::int64_t>(key_ ? ext::kSealedOverhead : ext::kHeadBytes);
    rateCap_ = rateCapOf(cfg_.cfgDebitMaxi);
    // A piece held back by the network arrives within some multiple of the wait, if ever.
    lengths_.setRiskMs(std::max<std::int64_t>(kLateCopyMs, 10 * timAttente_.interval()));
    heldBackMs_ = std::max<std::int64_t>(kHeldBackMs, 3 * timAttente_.interval());
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
    // What the client knows of a transfer lasts as long as its file stays sendable.
    std::erase_if(lstFilPos_, [this](const Listed& listed) { return isHeldBack(listed.name); });
    std::set<std::string_view> listed;
    for (const Listed& item : lstFilPos_) {
        listed.insert(item.name);
    }
    std::erase_if(transfers_, [&listed](const auto& item) { return !listed.contains(item.first); });
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

void ClientEngine::timAttente_Timer() {
    reader_.release();
    timAttente_.disable();
    timLoopEnvoi_.enable();
    const Awaiting was = awaiting_;
    awaiting_ = Awaiting::Nothing; // an answer that comes now answers nothing
    // After a file was dropped the wait is a mere pause, with nothing unanswered.
    if (was == Awaiting::Nothing || lstFilPos_.empty()) {
        return;
    }
    if (was == Awaiting::Header && offered_ && plainAnsweredOffer_) {
        return; // answered, plainly: no silence, and the offer goes again at the next tick
    }
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
    if (was == Awaiting::Piece) {
        lengths_.unanswered(static_cast<std::size_t>(pieceLength_), nowMs());
    } else {
        lengths_.anomaly(nowMs());
    }
    if (was != Awaiting::Piece) {
        headerAtLarge();
    }
    TransferMemory& memory = memoryOfFirst();
    // No answer but one past the file's end: that is where the server stands (copies of pieces
    // carried it past the end, and such a transfer never completes), not a stray copy.
    if (was == Awaiting::Header && memory.answeredOutOfRange) {
        memory.mustReset = true;
    }
    memory.answeredOutOfRange = false;
    // The server answers this file's header but never its content (a folder in the way, say):
    // the others must not wait behind it for ever.
    if (was == Awaiting::Piece && ++memory.stalls >= kStallsBeforeMovingOn &&
        lstFilPos_.size() > 1) {
        memory.stalls = 0;
        dropFirst("the server answers its header but not its content; the other files go first");
    }
}

void ClientEngine::Lance_Envoi() {
    timLoopEnvoi_.disable();
    reader_.release();
    awaiting_ = Awaiting::Nothing;
    deleteHeldBack();
    if (betweenFiles_ && nowMs() < quietUntilMs_ && nowMs() < straysUntilMs_) {
        timLoopEnvoi_.enable();
        return;
    }
    betweenFiles_ = false;
    retryLookUp();
    if (lstFilPos_.empty()) {
        Set_FilPos();
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
    if (stamp->size > kLargestFile && !offering()) {
        scan_->reject(item.name, *stamp, OutboxScan::Verdict::TooLarge);
        dropFirst("larger than 2147483646 bytes, which the server cannot take; it stays until it "
                  "changes or the client starts again");
        return;
    }
    TransferMemory& memory = memoryOfFirst();
    if (!memory.startStamp) {
        memory.startStamp = item.scanStamp;
    }
    sendHeader(item, *stamp);
}

// A server whose copy is damaged is made to start the file anew by a header of the same name with
// another size (0, which never completes) before the real one: a server, ours or another, then
// starts a new transfer, which replaces its copy.
void ClientEngine::sendHeader(const Listed& item, const FileStamp& stamp) {
    headerStamp_ = stamp;
    tailleFichier_ = stamp.size;
    waitFor(waitMs_);
    timAttente_.enable();
    // The size-0 header is a plain repair: an offer needs none, the extension's transfers being
    // named and verified.
    const bool reset = memoryOfFirst().mustReset && !key_ && !offering();
    ++headerSeq_;
    plainAnsweredOffer_ = false;
    // A header sent again leaves the bar at what the server was last known to hold.
    const std::int64_t held = memoryOfFirst().ackedEnd;
    setProgress(reset || held <= 0 ? 0 : progressOf(held, tailleFichier_));
    // Any header but a file's first follows a silence or a fault, when answers come late or
    // twice: the answer taken for it may have been another frame's, and the header itself may
    // still be on its way. Reaching the server after the file completed, it would start the file
    // anew there, and the next file's pieces would replace the finished copy.
    if (++memoryOfFirst().headers > 1) {
        headerAtLarge();
    }
    awaiting_ = reset ? Awaiting::Reset : Awaiting::Header;
    if (reset && trace_.enabled()) {
        trace_.write("header sent", "\"" + item.name +
                                        "\" announced with size 0, so that the server starts "
                                        "its copy anew");
    } else if (!reset) {
        traceHeader(item.name); // keeps the times of the file's record, trace on or off
    }
    if (!reset) {
        emit headerSent(decodedName(item.name));
    }
    offered_ = false;
    rateMarkUs_ = -1;
    if (!reset && offering()) {
        send(offeredHeader(item, tailleFichier_));
        return;
    }
    send(buildHeaderFrame(cfg_.cfgIdOrigine, item.name, reset ? 0 : tailleFichier_));
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
    if (p >= *total) {
        finishFirst();
        return;
    }
    setProgress(progressOf(p, *total));
    measureRate("simple", p);
    if (!sendPiece(path, p, *total)) {
        dropFirst("cannot be read");
    }
}

bool ClientEngine::sendPiece(const std::string& path, std::int64_t p, std::int64_t total) {
    const auto left = static_cast<std::size_t>(total - p);
    std::size_t n = lengths_.choose(std::min(pieceMax_, left), left <= pieceMax_, nowMs());
    char* payload = frame_.data() + kMaxFramePrefix;
    const auto got = reader_.readAt(path, p, payload, n);
    if (!got || *got != n) {
        return false;
    }
    n = lengthClearOfHeaderMarks(payload, n);
    char prefix[kMaxFramePrefix];
    const std::size_t prefixLength = writeContentPrefix(prefix, cfg_.cfgIdOrigine, n);
    char* frameStart = payload - prefixLength;
    std::memcpy(frameStart, prefix, prefixLength);
    lengths_.sent(n);
    plainSentBytes_ += static_cast<std::int64_t>(n);
    waitFor(p + static_cast<std::int64_t>(n) == total ? finalWaitMs(total) : waitMs_);
    awaiting_ = Awaiting::Piece;
    pieceFrom_ = p;
    pieceLength_ = static_cast<std::int64_t>(n);
    TransferMemory& memory = memoryOfFirst();
    memory.sentEnd = std::max(memory.sentEnd, p + pieceLength_);
    if (memory.unackedEnds.size() >= PieceLengths::kRecent) {
        memory.unackedEnds.erase(memory.unackedEnds.begin());
    }
    memory.unackedEnds.push_back(p + pieceLength_);
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

ClientEngine::TransferMemory& ClientEngine::memoryOfFirst() {
    return transfers_[lstFilPos_.front().name];
}

void ClientEngine::finishFirst(bool plain) {
    reader_.release();
    const std::string name = lstFilPos_.front().name;
    const std::string path = fullPath(name);
    const TransferMemory memory = memoryOfFirst();
    recordSent(name, memory);
    transfers_.erase(name);
    traced_.clear();
    setProgress(0);
    setStatus({});
    lstFilPos_.erase(lstFilPos_.begin());
    emit listChanged();
    timLoopEnvoi_.enable();
    if (!fileExists(path)) {
        return;
    }
    if (!safeToDelete(memory, path)) {
        if (trace_.enabled()) {
            trace_.write("file kept", name + ": changed or being written since its transfer began");
        }
        scan_->touch();
        emit fileKept(decodedName(name));
        return;
    }
    // A verified file needs none of the plain protocol's guards against stray headers.
    betweenFiles_ = plain;
    if (plain && lengths_.wary(nowMs())) {
        holdBack(name, memory);
        return;
    }
    deleteFinished(name, path);
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

// On a link that copies or holds back frames, a header of this file may still be on its way:
// reaching the server after the file completed, it starts the file anew there, and the next
// piece (of another file) replaces the finished copy. Such a stray header shows at the client as
// a first-byte answer it did not ask for, so the file is kept until no stray frame can come,
// and sent again whole if one of those answers comes meanwhile.
// A header whose fate is unknown may still reach the server, late: if another file's first piece
// follows it there, that piece is written into a new transfer of the finished file, replacing its
// copy, and the answer looks right to the client. So after such a header, on a link known to
// deliver frames late or twice, the next file waits until the header can no longer come.
void ClientEngine::headerAtLarge() {
    quietUntilMs_ = std::max(quietUntilMs_, nowMs() + heldBackMs_);
}

void ClientEngine::holdBack(const std::string& name, const TransferMemory& memory) {
    heldBack_.push_back(HeldBack{name, memory, nowMs() + heldBackMs_, tailleFichier_});
    if (trace_.enabled()) {
        trace_.write("file finished", "\"" + name + "\", " +
                                          transferSummary(tailleFichier_, started_.elapsed(),
                                                          tailleFichier_ - runStartBytes_) +
                                          "; deleted from the outbox in " +
                                          std::to_string(heldBackMs_) +
                                          " ms unless a stray frame shows that the server lost it");
    }
}

void ClientEngine::deleteHeldBack() {
    const std::int64_t now = nowMs();
    while (!heldBack_.empty() && heldBack_.front().untilMs <= now) {
        const HeldBack held = heldBack_.front();
        heldBack_.erase(heldBack_.begin());
        const std::string path = fullPath(held.name);
        if (!safeToDelete(held.memory, path)) {
            scan_->touch();
            emit fileKept(decodedName(held.name));
            continue;
        }
        tailleFichier_ = held.size;
        deleteFinished(held.name, path);
    }
}

// The server started some file anew without being asked: any file held back may be the one
// whose finished copy it is replacing.
void ClientEngine::strayFirstByteAnswer() {
    for (const HeldBack& held : heldBack_) {
        TransferMemory& memory = transfers_[held.name];
        memory = held.memory;
        memory.mustReset = true;
        if (trace_.enabled()) {
            trace_.write("file sent again", "\"" + held.name +
                                                "\": a stray header may have made the server start "
                                                "it anew");
        }
    }
    if (!heldBack_.empty()) {
        heldBack_.clear();
        scan_->touch();
    }
}

// A file that cannot be deleted would otherwise be sent whole again at every scan.
void ClientEngine::deleteFinished(const std::string& name, const std::string& path) {
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
        trace_.write("file finished", "\"" + name + "\", " +
                                          transferSummary(tailleFichier_, started_.elapsed(),
                                                          tailleFichier_ - runStartBytes_) +
                                          ", deleted from the outbox");
    }
    emit fileDone(decodedName(name));
}

// The server holds the file as it was when its transfer began; a file that changed since then,
// or that someone still writes, would lose its new bytes if deleted now.
bool ClientEngine::safeToDelete(const TransferMemory& memory, const std::string& path) const {
    const WriterProbe probe = probeWriters(path, leasesAllowed_);
    if (probe != WriterProbe::NoWriter && probe != WriterProbe::Unknown) {
        return false;
    }
    return memory.startStamp && stampOf(path) == memory.startStamp;
}

void ClientEngine::dropFirst(std::string_view why) {
    leaveExtended();
    reader_.release();
    awaiting_ = Awaiting::Nothing;
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

// An answer names no file and no frame: it is taken only while a frame waits for one, and only
// when it can answer that frame; everything else (a copy the network made, an answer that came
// after the wait ran out) changes nothing, so it can neither finish a file nor move one.
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
    if (!bytes.empty() && bytes[0] == ext::kStart) {
        extendedAnswer(bytes);
        return;
    }
    if (!bytes.empty() && bytes[0] == ext::kSealedStart) {
        sealedAnswer(bytes);
        return;
    }
    const auto p = bytes.size() == 1 ? std::nullopt : readAck(bytes);
    if (p && awaiting_ == Awaiting::Header && offered_ && !lstFilPos_.empty() &&
        takeAcceptance(bytes, *p)) {
        return;
    }
    if (p && extensionAnswer(bytes)) {
        // An acceptance or a challenge come late or twice: it answers an offer, never a plain
        // header or piece, and the plain protocol's repairs have nothing to learn from it.
        if (trace_.enabled()) {
            trace_.write("answer ignored", std::string(bytes) + ": an answer to an earlier offer");
        }
        return;
    }
    if (!p || awaiting_ == Awaiting::Nothing || lstFilPos_.empty()) {
        strayAnswerSeen();
        // A keyed transfer never goes plain: no stray header can start it anew at the server.
        if (p == 0 && nowMs() < quietUntilMs_ && !key_) {
            strayFirstByteAnswer(); // a late header of a finished file reached the server
        }
        if (trace_.enabled()) {
            trace_.write("answer ignored", std::string(bytes) + (p ? ": nothing waits for one"
                                                                   : ": no acknowledgement"));
        }
        return;
    }
    switch (awaiting_) {
    case Awaiting::Header:
        answerToHeader(*p);
        break;
    case Awaiting::Reset:
        answerToReset();
        break;
    case Awaiting::Piece:
        answerToPiece(*p);
        break;
    case Awaiting::Nothing:
        break;
    }
}

void ClientEngine::stopWaiting() {
    awaiting_ = Awaiting::Nothing;
    timLoopEnvoi_.disable();
    timAttente_.disable();
}

// The server answers a header with the position it holds: the first byte, or a resume inside the
// file. A resume is trusted only when the file is the one whose transfer began, and when this
// client sent at least that much of it since.
void ClientEngine::answerToHeader(std::int64_t p) {
    if (p < 0 || p >= tailleFichier_) {
        strayAnswerSeen();
        headerAtLarge();
        memoryOfFirst().answeredOutOfRange = true;
        traceIgnored(p, "answers no header of " + std::to_string(tailleFichier_) + " bytes");
        return;
    }
    TransferMemory& memory = memoryOfFirst();
    if (p > 0 && p < memory.ackedEnd) {
        if (!behindAgain(memory, p)) {
            strayAnswerSeen();
            traceIgnored(p, "is behind what the server already acknowledged: a late copy");
            return;
        }
        // Two headers answered alike: the server stands there (it lost what it had acknowledged,
        // in a restart say). The resume is judged as any other.
        memory.ackedEnd = -1;
        memory.unackedEnds.clear();
    }
    stopWaiting();
    traceHeaderAnswer(p);
    if (p == 0) {
        if (memory.sentEnd > 0 && nowMs() < straysUntilMs_) {
            // The server forgot this transfer: a lost final answer, a restart, or a stray header
            // of a finished file that took this transfer's place; only the last one wants the
            // files held back sent again, and only a link with strays about has it.
            strayFirstByteAnswer();
        }
        memory.startStamp = headerStamp_;
        restartedFromNothing(memory);
    } else if (const std::string why = unsoundResume(memory, p); !why.empty()) {
        headerAtLarge(); // what answered it may not have been its own answer
        startOver(why);
        return;
    }
    memory.ackedEnd = p;
    memory.unackedEnds.clear();
    Envoie_Contenu(p);
    timAttente_.enable();
}

// Why the server cannot hold `p` bytes of this file sent by this client; empty when it can.
std::string ClientEngine::unsoundResume(const TransferMemory& memory, std::int64_t p) {
    const std::string holds = "the server holds " + std::to_string(p) + " bytes of it";
    if (memory.startStamp != headerStamp_) {
        return "it changed since its transfer began, and the server holds part of it";
    }
    if (memory.sentEnd >= 0 && p > memory.sentEnd) {
        return holds + " but only " + std::to_string(memory.sentEnd) + " were sent";
    }
    if (memory.sentEnd < 0 && lengths_.wary(nowMs())) {
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
bool ClientEngine::behindAgain(TransferMemory& memory, std::int64_t p) {
    const bool again = memory.behindAt == p && memory.behindHeader != memory.headers;
    memory.behindAt = p;
    memory.behindHeader = memory.headers;
    return again;
}

void ClientEngine::restartedFromNothing(TransferMemory& memory) {
    memory.sentEnd = 0;
    memory.ackedEnd = 0;
    memory.unackedEnds.clear();
}

void ClientEngine::traceIgnored(std::int64_t p, const std::string& why) {
    if (trace_.enabled()) {
        trace_.write("answer ignored", "position " + std::to_string(p + 1) + " " + why);
    }
}

void ClientEngine::answerToReset() {
    stopWaiting();
    TransferMemory& memory = memoryOfFirst();
    memory.mustReset = false;
    restartedFromNothing(memory);
    Envoie_Entete();
}

// A piece sent from p with n bytes is answered with p + n. An answer of p repeats the one that
// brought the piece about (a copy, or a late answer to a repeated header): it is stale. Any
// other position the piece can have led to means the server wrote bytes where they do not
// belong.
void ClientEngine::answerToPiece(std::int64_t p) {
    // Having written n bytes the server stands at n + 1 at least: a smaller position answers
    // another frame (a header's answer, held back by the network).
    if (p == 0) {
        strayHeaderAnswer();
        return;
    }
    if (p == pieceFrom_ || p < pieceLength_) {
        strayAnswerSeen();
        return;
    }
    stopWaiting();
    if (p != pieceFrom_ + pieceLength_) {
        if (lengths_.sentLately(static_cast<std::size_t>(p))) {
            // The server started some file anew and wrote one of the latest pieces first.
            strayFirstByteAnswer();
        }
        startOver("the server answered position " + std::to_string(p + 1) + " to the " +
                  std::to_string(pieceLength_) + " bytes sent from position " +
                  std::to_string(pieceFrom_ + 1) + ", so its copy holds bytes in the wrong place");
        return;
    }
    TransferMemory& memory = memoryOfFirst();
    memory.stalls = 0;
    memory.ackedEnd = p;
    memory.unackedEnds.clear();
    Envoie_Contenu(p);
    timAttente_.enable();
}

// A first-byte answer while a piece waits: the header it answered was answered already, so it is
// either a copy the network made or the answer to a header of another file that reached the
// server late and started that file anew. The latter makes the server write the pieces sent since
// into that file, replacing its finished copy: the files held back are sent again, and so is this
// one when its first piece may have gone there.
void ClientEngine::strayHeaderAnswer() {
    strayAnswerSeen();
    strayFirstByteAnswer();
    if (pieceFrom_ == 0) {
        stopWaiting();
        startOver("an answer to a header came while its first piece was on its way: the piece may "
                  "have gone into another file");
    }
}

// An answer that fits nothing: the link copies frames or delivers them late.
void ClientEngine::strayAnswerSeen() {
    lengths_.anomaly(nowMs());
    straysUntilMs_ = nowMs() + kLateCopyMs;
}

void ClientEngine::startOver(const std::string& why) {
    strayAnswerSeen();
    reader_.release();
    memoryOfFirst().mustReset = true;
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

// The server answers a file's last piece only once the file is on stable storage, which for a
// large file can take longer than the usual wait: a header sent meanwhile would reach the server
// after the file completed and make it start the file anew, and the client send it all again, for
// ever on a disk slower than the wait. So the last piece is waited for longer, by the file's size.
std::int64_t ClientEngine::finalWaitMs(std::int64_t size) const {
    if (waitMs_ <= 0) {
        return waitMs_;
    }
    return std::max(waitMs_, std::min<std::int64_t>(kLongestFinalWaitMs, 1000 + size / 50000));
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

QString ClientEngine::activity() const {
    if (outboxMissing_) {
        return QStringLiteral("Dossier d'envoi absent : ") +
               QString::fromLocal8Bit(scanError_.c_str());
    }
    if (scan_ && scan_->readError() != 0) {
        return QStringLiteral("Dossier d'envoi illisible : ") +
               QString::fromLocal8Bit(std::strerror(scan_->readError()));
    }
    if (destination_.isNull()) {
        return QStringLiteral("Destination introuvable : ") +
               QString::fromLatin1(cfg_.cfgAdresseDest).trimmed();
    }
    if (lstFilPos_.empty()) {
        return QStringLiteral("Rien à envoyer");
    }
    if (unproven_) {
        return QStringLiteral("Le serveur ne prouve pas la clé de l'origine");
    }
    if (const auto memory = transfers_.find(lstFilPos_.front().name);
        memory != transfers_.end() && memory->second.unknowns >= kUnknownsShown) {
        return QStringLiteral("Le serveur ne peut pas garder ") +
               decodedName(lstFilPos_.front().name);
    }
    if (silentSince_.isValid()) {
        return QStringLiteral("En attente du serveur depuis ") +
               silentSince_.toString(QStringLiteral("HH:mm:ss"));
    }
    return QStringLiteral("Envoi de ") + decodedName(lstFilPos_.front().name);
}

void ClientEngine::setProgress(int value) {
    if (value == pgbTrx_) {
        return;
    }
    pgbTrx_ = value;
    emit progressChanged(value);
}

} // namespace zelk
