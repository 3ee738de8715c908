#include "clientengine.h"

#include "codec.h"
#include "fsops.h"
#include "numeric.h"

#include <QFile>
#include <QHostInfo>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <set>

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
      frame_(kMaxFramePrefix + kMaxPayload, '\0') {
    udpSend_.setHandler([this](std::string_view bytes, const QHostAddress& from, quint16 port) {
        udpSend_DataArrival(bytes, from, port);
    });
}

bool ClientEngine::start(const ClientConfig& config, QString& error) {
    cfg_ = config;
    cfg_.cfgIdOrigine = originIdentifier(cfg_.cfgIdOrigine);
    trace_.setEnabled(traceWanted(cfg_.cfgTrace));
    if (!cfg_.idOrigineLu) {
        error = QStringLiteral("the configuration has no \"id_de_Lorigine=\" line, and every "
                               "datagram must carry the origin identifier");
        return false;
    }
    if (!makeOutbox(error)) {
        return false;
    }
    resolveDestination();
    const std::int64_t localPort = wholeValue(cfg_.cfgPortLocal);
    QString bindError;
    if (localPort < 0 || localPort > 65535 ||
        !udpSend_.bind(static_cast<quint16>(localPort), bindError)) {
        error = QStringLiteral("the local UDP port \"%1\" (\"ip_port_locals=\") cannot be bound%2")
                    .arg(QString::fromLatin1(cfg_.cfgPortLocal),
                         bindError.isEmpty() ? QString() : QStringLiteral(": ") + bindError);
        return false;
    }
    timLoopEnvoi_.setInterval(wholeValue(cfg_.cfgDelaiScan));
    timAttente_.setInterval(wholeValue(cfg_.cfgDelaiAttente));
    pieceMax_ = pieceMaxOf(cfg_.cfgPaquetsMax);
    timLoopEnvoi_.enable();
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

bool ClientEngine::makeOutbox(QString& error) {
    if (Set_FilPos()) {
        return true;
    }
    error = QStringLiteral("the outbox folder \"%1\" (\"directoryFiles=\") cannot be made: %2")
                .arg(QFile::decodeName(cfg_.cfgRepertoire.c_str()),
                     QString::fromLocal8Bit(scanError_.c_str()));
    return false;
}

void ClientEngine::resolveDestination() {
    destinationPort_ =
        static_cast<int>(std::clamp<std::int64_t>(wholeValue(cfg_.cfgPortDest), -1, 65536));
    const QString host = QString::fromLatin1(cfg_.cfgAdresseDest).trimmed();
    destination_.clear();
    if (!host.isEmpty() && !destination_.setAddress(host)) {
        const QHostInfo info = QHostInfo::fromName(host);
        if (info.error() == QHostInfo::NoError && !info.addresses().isEmpty()) {
            destination_ = info.addresses().constFirst();
        }
    }
    if (trace_.enabled()) {
        trace_.write("destination",
                     (destination_.isNull() ? QStringLiteral("(none)") : destination_.toString())
                             .toStdString() +
                         " port " + std::to_string(destinationPort_));
    }
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
    bool ready = true;
    if (folderExists(cfg_.cfgRepertoire)) {
        std::set<std::string> unlisted;
        for (const std::string& name : listFiles(cfg_.cfgRepertoire)) {
            listIfSendable(name, unlisted);
        }
        unlisted_ = std::move(unlisted);
    } else if (!createFolder(cfg_.cfgRepertoire, scanError_)) {
        if (trace_.enabled()) {
            trace_.write("outbox not made", cfg_.cfgRepertoire + ": " + scanError_);
        }
        ready = false;
    }
    emit listChanged();
    return ready;
}

// A file left out is traced at the first scan that finds it, not at every scan.
void ClientEngine::listIfSendable(const std::string& name, std::set<std::string>& unlisted) {
    const auto stamp = stampOf(fullPath(name));
    if (!stamp || stamp->size == 0) {
        return; // empty, or vanished since the folder was read
    }
    // The header splits at ";", so such a name would reach the server cut short.
    const bool nameFits = name.find(';') == std::string::npos;
    if (!nameFits || stamp->size > kLargestFile) {
        if (trace_.enabled() && unlisted.insert(name).second && unlisted_.count(name) == 0) {
            trace_.write("file not listed",
                         "\"" + name + "\" stays in the outbox: " +
                             (nameFits ? "larger than 2147483646 bytes"
                                       : "its name holds \";\", which a header cannot carry"));
        }
        return;
    }
    lstFilPos_.push_back(Listed{name, *stamp, *stamp});
}

void ClientEngine::timLoopEnvoi_Timer() {
    Lance_Envoi();
}

void ClientEngine::timAttente_Timer() {
    reader_.release();
    timAttente_.disable();
    timLoopEnvoi_.enable();
    // After a file was dropped the wait is a mere pause, with nothing unanswered.
    if (trace_.enabled() && !lstFilPos_.empty() && traced_ == lstFilPos_.front().name) {
        trace_.write("no answer", "within " + std::to_string(timAttente_.interval()) +
                                      " ms for \"" + traced_ +
                                      "\": it is announced again at the next tick");
    }
}

void ClientEngine::Lance_Envoi() {
    timLoopEnvoi_.disable();
    reader_.release();
    if (lstFilPos_.empty()) {
        Set_FilPos();
        timLoopEnvoi_.enable();
        return;
    }
    if (!passesOpenTest(lstFilPos_.front())) {
        dropFirst("held by another program");
        timAttente_.enable();
        return;
    }
    Envoie_Entete();
    timAttente_.enable();
}

bool ClientEngine::passesOpenTest(const Listed& item) const {
    const std::string path = fullPath(item.name);
    switch (probeWriters(path, leasesAllowed_)) {
    case WriterProbe::NoWriter:
        return true;
    case WriterProbe::Unknown:
        return stampOf(path) == item.scanStamp;
    case WriterProbe::Writer:
    case WriterProbe::Unopenable:
        break;
    }
    return false;
}

void ClientEngine::Envoie_Entete() {
    Listed& item = lstFilPos_.front();
    const auto stamp = stampOf(fullPath(item.name));
    if (!stamp || stamp->size == 0 || stamp->size > kLargestFile) {
        dropFirst(stamp ? "empty or too large" : "vanished");
        return;
    }
    item.headerStamp = *stamp;
    tailleFichier_ = stamp->size;
    setProgress(0);
    const std::string frame = buildHeaderFrame(cfg_.cfgIdOrigine, item.name, tailleFichier_);
    timAttente_.enable();
    if (trace_.enabled()) {
        traceHeader(item.name);
    }
    emit headerSent(decodedName(item.name));
    send(frame);
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
    if (!sendPiece(path, p, *total)) {
        dropFirst("cannot be read");
    }
}

bool ClientEngine::sendPiece(const std::string& path, std::int64_t p, std::int64_t total) {
    std::size_t n = std::min<std::size_t>(pieceMax_, static_cast<std::size_t>(total - p));
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

void ClientEngine::finishFirst() {
    reader_.release();
    const Listed item = lstFilPos_.front();
    const std::string path = fullPath(item.name);
    traced_.clear();
    setProgress(0);
    lstFilPos_.erase(lstFilPos_.begin());
    emit listChanged();
    timLoopEnvoi_.enable();
    if (!fileExists(path)) {
        return;
    }
    if (!safeToDelete(item, path)) {
        if (trace_.enabled()) {
            trace_.write("file kept", item.name + ": changed or being written since its header");
        }
        emit fileKept(decodedName(item.name));
        return;
    }
    deleteFile(path);
    if (trace_.enabled()) {
        trace_.write("file finished", "\"" + item.name + "\", " +
                                          transferSummary(tailleFichier_, started_.elapsed()) +
                                          ", deleted from the outbox");
    }
    emit fileDone(decodedName(item.name));
}

// The server holds what was announced in the header; a file that changed since then, or that
// someone still writes, would lose its new bytes if deleted now.
bool ClientEngine::safeToDelete(const Listed& item, const std::string& path) const {
    const WriterProbe probe = probeWriters(path, leasesAllowed_);
    if (probe != WriterProbe::NoWriter && probe != WriterProbe::Unknown) {
        return false;
    }
    return stampOf(path) == item.headerStamp;
}

void ClientEngine::dropFirst(std::string_view why) {
    reader_.release();
    const std::string name = lstFilPos_.front().name;
    lstFilPos_.erase(lstFilPos_.begin());
    setProgress(0);
    emit listChanged();
    if (trace_.enabled()) {
        trace_.write("file dropped", "\"" + name + "\": " + std::string(why) +
                                         "; it stays in the outbox for a later scan");
        traced_.clear();
    }
    emit fileDropped(decodedName(name));
}

bool ClientEngine::fromServer(const QHostAddress& from, quint16 fromPort) const {
    return !destination_.isNull() && fromPort == destinationPort_ &&
           sameAddress(from, destination_);
}

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
    timLoopEnvoi_.disable();
    timAttente_.disable();
    const auto p = bytes.size() == 1 ? std::nullopt : readAck(bytes);
    // The server never acknowledges a position below 1; such a text is no acknowledgement.
    if (!p || *p < 0) {
        if (trace_.enabled()) {
            trace_.write("no acknowledgement", bytes);
        }
        reader_.release();
        timLoopEnvoi_.enable();
        return;
    }
    if (trace_.enabled() && answerToHeader_) {
        traceHeaderAnswer(*p);
    }
    answerToHeader_ = false;
    Envoie_Contenu(*p);
    timAttente_.enable();
}

// The first header of a file starts it; a header sent again follows a silence.
void ClientEngine::traceHeader(const std::string& name) {
    answerToHeader_ = true;
    if (traced_ != name) {
        traced_ = name;
        headers_ = 1;
        started_.start();
        trace_.write("file started", "\"" + name + "\" of " + std::to_string(tailleFichier_) +
                                         " bytes, to " + destination_.toString().toStdString() +
                                         " port " + std::to_string(destinationPort_));
        return;
    }
    ++headers_;
    trace_.write("header sent again",
                 "\"" + name + "\" after " + std::to_string(started_.elapsed()) + " ms");
}

// The answer to a header says where the server stands: anywhere but the first byte is a resume.
void ClientEngine::traceHeaderAnswer(std::int64_t p) {
    if (lstFilPos_.empty()) {
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

void ClientEngine::setProgress(int value) {
    if (value == pgbTrx_) {
        return;
    }
    pgbTrx_ = value;
    emit progressChanged(value);
}

} // namespace zelk
