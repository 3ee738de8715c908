#include "serveurengine.h"

#include "configcheck.h"
#include "filerecord.h"
#include "fsops.h"
#include "numeric.h"

#include <QDateTime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

constexpr quint16 kLargestPort = 65535;
// A file that no piece has reached for this long is closed (a client gone for good).
constexpr int kIdleFileMs = 2000;
// How often staging files are looked at for those nobody resumed.
constexpr int kSweepMs = 3600 * 1000;

std::string_view withoutTrailingBlanks(std::string_view origin) {
    const std::size_t last = origin.find_last_not_of(' ');
    return last == std::string_view::npos ? std::string_view{} : origin.substr(0, last + 1);
}

// Origins and file names come from the network and become path elements: none may climb out of
// the receive folder or be cut short by a NUL.
bool namesNoOtherFolder(std::string_view element) {
    return element != "." && element != ".." && element.find('/') == std::string_view::npos &&
           element.find('\0') == std::string_view::npos;
}

bool safeOrigin(std::string_view origin) {
    return namesNoOtherFolder(withoutTrailingBlanks(origin));
}

bool safeFileName(std::string_view name) {
    return !name.empty() && namesNoOtherFolder(name);
}

bool portNumber(const std::string& text, quint16& port) {
    const std::int64_t value = wholeValue(text);
    if (value < 0 || value > kLargestPort) {
        return false;
    }
    port = static_cast<quint16>(value);
    return true;
}

QString outOfRange(const char* what, const std::string& text) {
    return QStringLiteral("%1 port \"%2\" is not a port number (0 to 65535)")
        .arg(QLatin1String(what), displayText(text));
}

bool stagingPlainWanted(std::string_view setting) {
    return setting == "O" || setting == "o";
}

std::int64_t stagingAgeSeconds(const std::string& setting) {
    const std::int64_t seconds = setting.empty() ? 0 : wholeValue(setting);
    return seconds > 0 ? seconds : kDefaultStagingAgeSeconds;
}

} // namespace

// How the trace names a transfer: the origin as its folder is named, and the file.
std::string transferText(std::string_view origin, std::string_view file) {
    std::string text = "origin \"";
    text += withoutTrailingBlanks(origin);
    text += "\" file \"";
    text += file;
    text += '"';
    return text;
}

std::string diskName(const TransferRow& row) {
    return row.staged ? stagingName(row.file) : row.file;
}

QString displayText(std::string_view bytes) {
    const QByteArray raw =
        QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QString text = QString::fromUtf8(raw);
    // Names are bytes; those that are not UTF-8 are shown one character per byte.
    if (text.contains(QChar::ReplacementCharacter) && !raw.contains("\xEF\xBF\xBD")) {
        return QString::fromLatin1(raw);
    }
    return text;
}

ServeurEngine::ServeurEngine(QObject* parent, std::FILE* traceSink)
    : QObject(parent), writer_(folder_), trace_(traceSink) {
    udpSend.setHandler([this](std::string_view bytes, const QHostAddress& from, quint16 port) {
        udpSend_DataArrival(bytes, from, port);
    });
    udpSend.setBatchEnd([this] {
        ++batch_;
        sendExtended(ext_.batchEnd());
        sources_.clear();
        if (tableMoved_) {
            tableMoved_ = false;
            emit tableChanged();
        }
    });
    tcpSend.onDataArrival = [this](int index) { tcpSend_DataArrival(index); };
    tcpSend.onError = [this](int index) { tcpSend_Error(index); };
    tcpSend.onIdle = [this](int index) { tcpSend_Idle(index); };
    idleFiles_.setInterval(kIdleFileMs);
    connect(&idleFiles_, &QTimer::timeout, this, [this] {
        writer_.closeIdle();
        if (writer_.empty()) {
            idleFiles_.stop();
        }
    });
    sweep_.setInterval(kSweepMs);
    connect(&sweep_, &QTimer::timeout, this, [this] { sweepStagingFiles(); });
    saveVerified_.setSingleShot(true);
    connect(&saveVerified_, &QTimer::timeout, this, [this] { ext_.saveVerified(now()); });
}

ServeurEngine::~ServeurEngine() {
    if (folder_.fd() >= 0) {
        ext_.saveVerified(now());
    }
}

bool ServeurEngine::start(const ServerConfig& config, QString& error) {
    cfg_ = config;
    trace_.setEnabled(traceWanted(cfg_.cfgTrace));
    clock_.start();
    PlainReceiver::Settings settings = core_.settings();
    settings.stagePlain = stagingPlainWanted(cfg_.cfgStagingPlain);
    core_.setSettings(settings);
    ext_.clear();
    if (!loadKeys(error)) {
        return false;
    }
    if (!Set_FilPos(error)) {
        return false;
    }
    loadVerified();
    sweepStagingFiles();
    sweep_.start();
    table_.clear();
    emit tableChanged();
    const bool tcp = tcpIntakeWanted(cfg_.cfgEcouteTcp);
    if (!bindAddress(error) || !bindUdp(error)) {
        return false;
    }
    if (tcp && !listenTcp(error)) {
        udpSend.close();
        return false;
    }
    // The ports really bound: "0" or "&H0" in the configuration reads as a port the system chose.
    udpLabel_ = QStringLiteral("UDP port = %1").arg(udpPort());
    tcpLabel_ =
        tcp ? QStringLiteral("TCP port = %1").arg(tcpPort()) : QStringLiteral("TCP port = off");
    modeTcp = false;
    if (trace_.enabled()) {
        startedAt_.clear();
        trace_.write(
            "server started",
            "UDP port " + std::to_string(udpPort()) +
                (tcp ? ", TCP port " + std::to_string(tcpPort()) : ", TCP intake off") +
                (cfg_.cfgAdresseEcoute.empty() ? "" : ", address " + cfg_.cfgAdresseEcoute) +
                ", receive folder " + cfg_.cfgRepertoire);
    }
    return true;
}

bool ServeurEngine::Set_FilPos(QString& error) {
    std::string reason;
    if (cfg_.cfgRepertoire.empty()) {
        reason = "no receive folder is set (directoryFiles=)";
    } else if (folder_.open(cfg_.cfgRepertoire, reason)) {
        return true;
    }
    error = displayText(reason); // it names the folder and what failed
    return false;
}

bool ServeurEngine::bindAddress(QString& error) {
    std::string text;
    QHostAddress address;
    if (!listenAddressText(cfg_.cfgAdresseEcoute, text) ||
        (!text.empty() && !address.setAddress(QString::fromStdString(text)))) {
        error = QStringLiteral(
                    "the address \"%1\" (\"adresse_Ecoute=\") is not an IPv4 or IPv6 address")
                    .arg(displayText(cfg_.cfgAdresseEcoute));
        return false;
    }
    udpSend.setBindAddress(address);
    tcpSend.setBindAddress(address);
    return true;
}

bool ServeurEngine::bindUdp(QString& error) {
    quint16 port = 0;
    if (!portNumber(cfg_.cfgPortUdp, port)) {
        error = outOfRange("UDP", cfg_.cfgPortUdp);
        return false;
    }
    QString reason;
    if (!udpSend.bind(port, reason)) {
        error = QStringLiteral("cannot bind UDP port %1: %2").arg(port).arg(reason);
        return false;
    }
    return true;
}

bool ServeurEngine::listenTcp(QString& error) {
    quint16 port = 0;
    if (!portNumber(cfg_.cfgPortTcp, port)) {
        error = outOfRange("TCP", cfg_.cfgPortTcp);
        return false;
    }
    QString reason;
    if (!tcpSend.listen(port, reason)) {
        error = QStringLiteral("cannot listen on TCP port %1: %2").arg(port).arg(reason);
        return false;
    }
    return true;
}

// --- Intake ---------------------------------------------------------------------------------

void ServeurEngine::udpSend_DataArrival(std::string_view bytes, const QHostAddress& from,
                                        quint16 fromPort) {
    modeTcp = false;
    peerAddress_ = from; // the endpoint gives IPv4 senders as plain IPv4 already
    peerPort_ = fromPort;
    datagramBytes_ = bytes.size();
    if (!bytes.empty() && (bytes[0] == ext::kStart || bytes[0] == ext::kSealedStart)) {
        extendedDatagram(bytes);
        return;
    }
    // A single byte is never a message.
    if (bytes.size() == 1) {
        drop("one-byte datagram");
        return;
    }
    tamponRecu = bytes; // the endpoint's buffer holds the datagram while it is handled
    handleFrame();
}

// TCP is a byte stream: each connection gathers its bytes and frames are cut from them by their
// own length field, so that a frame split across reads, or several frames in one read, are each
// answered once. Frames already gathered go first: they may have waited for answers to drain.
void ServeurEngine::tcpSend_DataArrival(int index) {
    handleGathered(index);
    while (readMore(index)) {
        handleGathered(index);
    }
}

// Reads what waits on the connection, never gathering more than one largest frame; false when
// nothing was read, the connection waits for its answers to drain, or it is gone.
bool ServeurEngine::readMore(int index) {
    TcpListener::Connection* connection = tcpSend.connection(index);
    if (connection == nullptr || tcpSend.mustWait(index)) {
        return false;
    }
    std::string& gathered = connection->gathered;
    const std::size_t held = gathered.size();
    gathered.resize(kMaxFrame);
    const qint64 read = tcpSend.receive(index, gathered.data() + held, kMaxFrame - held);
    gathered.resize(held + static_cast<std::size_t>(std::max<qint64>(read, 0)));
    if (read == TcpListener::kPeerClosed) {
        tcpSend_Close(index);
        return false;
    }
    if (read == TcpListener::kFailed) {
        aboutConnection(index);
        drop("failed TCP read");
        tcpSend.discard(index);
        return false;
    }
    return read > 0;
}

void ServeurEngine::aboutConnection(int index) {
    const TcpListener::Connection* connection = tcpSend.connection(index);
    modeTcp = true;
    indexTcp = index;
    peerAddress_ = plainAddress(connection->peerAddress);
    peerPort_ = connection->peerPort;
}

void ServeurEngine::handleGathered(int index) {
    for (;;) {
        TcpListener::Connection* connection = tcpSend.connection(index);
        if (connection == nullptr || tcpSend.mustWait(index)) {
            return;
        }
        std::string& gathered = connection->gathered;
        const StreamFrame cut = cutStreamFrame(gathered);
        if (cut.cut == StreamCut::NeedMore) {
            return;
        }
        aboutConnection(index);
        if (cut.cut == StreamCut::Garbage) {
            gathered.clear();
            drop("bytes that cannot begin a frame");
            return;
        }
        tcpFrame_.assign(gathered, 0, cut.length);
        tamponRecu = tcpFrame_;
        gathered.erase(0, cut.length);
        handleFrame();
    }
}

// The peer has closed its side: every whole frame it sent is answered before the connection is
// closed; only the start of a frame it never finished is lost.
void ServeurEngine::tcpSend_Close(int index) {
    if (trace_.enabled()) {
        const std::size_t unfinished = tcpSend.connection(index)->gathered.size();
        trace_.write("connection closed",
                     "TCP #" + std::to_string(index) + " by the peer" +
                         (unfinished == 0 ? std::string()
                                          : ", " + std::to_string(unfinished) +
                                                " bytes of an unfinished frame dropped"));
    }
    connectionGone(index);
    tcpSend.finish(index);
}

void ServeurEngine::tcpSend_Error(int index) {
    if (trace_.enabled()) {
        trace_.write("connection dropped", "TCP #" + std::to_string(index) + " after an error");
    }
    connectionGone(index);
    tcpSend.discard(index);
}

void ServeurEngine::tcpSend_Idle(int index) {
    if (trace_.enabled()) {
        trace_.write("connection dropped",
                     "TCP #" + std::to_string(index) + ": no byte either way for too long");
    }
}

// Headers and everything dropped are traced; content that is written and acknowledged is not,
// so that a file of many pieces leaves a few lines and the trace stays readable.
void ServeurEngine::handleFrame() {
    headerFrame_ = false;
    check_ = Valide_Id_Long(tamponRecu);
    if (!check_.valid()) {
        drop("invalid frame of " + std::to_string(tamponRecu.size()) + " bytes");
        return;
    }
    if (!safeOrigin(tamponRecu.substr(1, kOriginWidth))) {
        drop("origin that names no folder of its own");
        return;
    }
    headerFrame_ = isHeaderFrame(tamponRecu, check_);
    headerProven_ = false;
    if (const auto refusal =
            ext_.admit(tamponRecu.substr(1, kOriginWidth), headerFrame_, modeTcp)) {
        if (refusal->authentication) {
            authFailed(refusal->why);
        } else {
            drop(refusal->why);
        }
        return;
    }
    if (!headerFrame_) {
        Donnees_de_Contenu();
        return;
    }
    if (trace_.enabled() && floodLine()) {
        trace_.write("frame received", "header of " + std::to_string(tamponRecu.size()) +
                                           " bytes from " + peerText());
    }
    std::optional<Header> header = Traduit_Recu(tamponRecu, check_);
    if (!header) {
        drop("header with fewer than 3 fields");
        return;
    }
    if (!safeFileName(header->nomFichier)) {
        drop("header whose file name is no plain name");
        return;
    }
    if (isStagingName(header->nomFichier)) {
        drop("header whose file name ends like the server's staging files");
        return;
    }
    ExtHeaderIn in{std::move(header->nomOrigine),
                   std::move(header->nomFichier),
                   std::move(header->tailleTotale),
                   tamponRecu.substr(static_cast<std::size_t>(check_.posDebutDonnees),
                                     static_cast<std::size_t>(check_.longDonnees)),
                   peerAddressText(),
                   peerPort_,
                   modeTcp ? indexTcp : -1,
                   now()};
    const ExtHeaderReply reply = ext_.header(in);
    if (!reply.file.empty()) {
        in.file = reply.file; // sealed in the header: the row, the trace and the window name it
    }
    headerAnswered(in, reply);
}

// --- Transfer table -------------------------------------------------------------------------

// What the cores made of a header (`Match_File`): the trace hears it, the sender its answer.
void ServeurEngine::headerAnswered(const ExtHeaderIn& in, const ExtHeaderReply& reply) {
    headerProven_ = reply.keyHeld;
    if (!reply.refused.empty()) {
        authFailed(reply.refused);
        return;
    }
    if (reply.challenged) {
        udpSend.reply(reply.answer);
        if (trace_.enabled() && floodLine()) {
            trace_.write("key challenged",
                         transferText(in.origin, in.file) + " from " + peerText());
        }
        return;
    }
    if (reply.proven && trace_.enabled()) {
        trace_.write("key proven", transferText(in.origin, in.file) + ", key " + reply.keyId +
                                       ", from " + peerText());
    }
    if (reply.again || !reply.plainAsked) {
        if (!reply.answer.empty()) { // none while the file's verdict is on its way
            sendAnswer(reply.answer);
        }
        return;
    }
    const HeaderReply& plain = reply.plain;
    rowsGone(plain.gone, in.now, in);
    if (plain.refusedFor) {
        secondSender(*plain.refusedFor, in);
    }
    switch (plain.step) {
    case HeaderStep::Dropped:
        headerDropped(plain);
        return;
    case HeaderStep::ResetIgnored:
        if (trace_.enabled()) {
            trace_.write("file not started", transferText(in.origin, in.file) +
                                                 ": a plain header of size 0 from an origin that "
                                                 "speaks the extension opens nothing");
        }
        sendAnswer(reply.answer);
        return;
    case HeaderStep::Started:
        rowStarted(plain.row, in, reply);
        return;
    case HeaderStep::Resumed:
        rowResumed(plain.row, in, reply);
        return;
    }
}

// The frame being handled, as the core takes it.
PlainFrame ServeurEngine::plainFrame(std::string_view origin) {
    PlainFrame frame;
    frame.kind = PlainFrame::Kind::Content;
    frame.origin = origin;
    frame.address = peerAddressText();
    frame.port = peerPort_;
    frame.tcpIndex = modeTcp ? indexTcp : -1;
    frame.now = now();
    return frame;
}

// Rows that gave way: what the extension held for them goes too, and the trace hears why.
void ServeurEngine::rowsGone(const std::vector<GoneRow>& gone, Instant at, const ExtHeaderIn& in) {
    for (const GoneRow& left : gone) {
        const TransferRow& row = left.row;
        if (left.why == GoneRow::Why::Abandoned && trace_.enabled() && headerLine()) {
            trace_.write("file abandoned", transferText(row.origin, row.file) + " at position " +
                                               std::to_string(row.position) + " of " + row.total +
                                               " after " + elapsedText(writerKey(row)) +
                                               ": the origin announced \"" + in.file +
                                               "\"; the partial file stays");
        } else if (left.why == GoneRow::Why::EvictedForKey && trace_.wants("row evicted")) {
            trace_.write("row evicted",
                         transferText(row.origin, row.file) + ": the table is full and " +
                             transferText(in.origin, in.file) + ", whose key is proven, comes");
        } else if (left.why == GoneRow::Why::EvictedIdle && trace_.wants("row evicted")) {
            trace_.write("row evicted", transferText(row.origin, row.file) + ", idle for " +
                                            std::to_string((at.wallMs - row.lastFrameMs) / 1000) +
                                            " s: the table is full and " +
                                            transferText(in.origin, in.file) + " comes");
        }
        forgetGone(row);
    }
    if (!gone.empty()) {
        emit tableChanged();
    }
}

// The file of a row that left is closed now, unless a row of the table still writes it (the
// header that ended the row started the same file anew).
void ServeurEngine::forgetGone(const TransferRow& row) {
    for (const int index : table_.rowsOf(row.origin)) {
        if (table_.at(index).file == row.file) {
            return;
        }
    }
    writer_.drop(writerKey(row)); // a file per transfer: kept, they would pile up
    startedAt_.erase(writerKey(row));
}

void ServeurEngine::headerDropped(const HeaderReply& reply) {
    if (reply.drop != Drop::SecondSender) { // told already, in a line of its own
        drop(dropText(reply.drop, reply.pausedMs));
    }
}

void ServeurEngine::secondSender(const TransferRow& row, const ExtHeaderIn& in) {
    if (trace_.wants("second sender")) {
        trace_.write("second sender", "origin \"" + printable(withoutTrailingBlanks(row.origin)) +
                                          "\": header for \"" + printable(in.file) + "\" from " +
                                          peerText() + " refused while \"" + printable(row.file) +
                                          "\" arrives from " + row.address + " port " +
                                          std::to_string(row.port) +
                                          " (two clients with one origin?)");
    }
}

// A new row: its file starts anew at its first piece.
void ServeurEngine::rowStarted(int index, const ExtHeaderIn& in, const ExtHeaderReply& reply) {
    emit tableChanged();
    startedAt_[in.origin + in.file].start(); // for the file's record, trace on or off
    const TransferRow& row = table_.at(index);
    if (trace_.enabled() && headerLine()) {
        const std::string transfer = transferText(in.origin, in.file);
        trace_.write("file started", transfer + " of " + reply.size + " bytes, from " + peerText());
        if (row.staged) {
            trace_.write("file staged", transfer + ": received as \"" + stagingName(in.file) +
                                            "\", renamed once whole" +
                                            (reply.offered ? " and verified" : ""));
        }
    }
    if (reply.resumed) {
        traceResumed(row, *reply.resumed);
    }
    if (reply.held) {
        traceAccepted(row, *reply.held, reply.granted);
    }
    sendAnswer(reply.answer);
}

// A repeated header resumes at the position really reached.
void ServeurEngine::rowResumed(int index, const ExtHeaderIn& in, const ExtHeaderReply& reply) {
    const TransferRow& row = table_.at(index);
    if (reply.held) {
        traceAccepted(row, *reply.held, reply.granted);
    }
    emit tableChanged();
    if (trace_.enabled() && headerLine()) {
        trace_.write("file resumed", transferText(in.origin, in.file) + " at position " +
                                         std::to_string(row.position) + " of " + reply.size +
                                         ", from " + peerText());
    }
    sendAnswer(reply.answer);
}

// --- Content --------------------------------------------------------------------------------

// The position advances only once the piece is safely written; a piece that cannot be written
// is left unanswered, so the sender's next header learns the true position.
void ServeurEngine::Donnees_de_Contenu() {
    const Content content = Extrait_Orig_Data(tamponRecu, check_);
    PlainFrame frame = plainFrame(content.nomOrigine);
    frame.content = content.donneesContenu;
    const PieceWrite piece = core_.content(frame);
    if (piece.drop != Drop::None) {
        drop(dropText(piece.drop));
        return;
    }
    WriteFailure failure;
    if (!writePiece(piece.row, piece.position, piece.bytes, piece.last, failure)) {
        if (failure.disturbed) {
            restartDisturbed(piece.row, failure); // the sender's next header starts it anew
        } else {
            pieceFailed(table_.at(piece.row), failure);
        }
        return;
    }
    finishRow(piece);
    EnvoieAck(piece.next);
}

void ServeurEngine::pieceFailed(const TransferRow& row, const WriteFailure& failure) {
    if (failure.unsafe) {
        drop("piece for " + transferText(row.origin, row.file) + ": " + failure.why +
             ", which the server never writes through");
    } else if (trace_.wants("write failed")) {
        trace_.write("write failed", transferText(row.origin, row.file) + " at position " +
                                         std::to_string(row.position) + ": " + failure.why +
                                         "; the piece is not acknowledged");
    }
}

// A receive folder removed while the server runs is made again as at start-up, rather than
// stalling every transfer until someone makes it by hand.
bool ServeurEngine::holdReceiveFolder(WriteFailure& failure, std::uint64_t round) {
    if (round != 0 && folderLookedUpIn_ == round) {
        return true;
    }
    bool renewed = false;
    if (!folder_.refresh(renewed, failure.why)) {
        return false;
    }
    folderLookedUpIn_ = round;
    if (renewed && trace_.enabled()) {
        trace_.write("receive folder renewed",
                     folder_.path() + " was removed or replaced; files go to the one there now");
    }
    return true;
}

// The file stays open while pieces keep coming, and is looked up again once per batch of
// datagrams (and before the last piece), so a file removed or replaced meanwhile is created anew
// in its (re-made) folder. The last piece is answered only once the file is on stable storage:
// the client then deletes its only copy.
bool ServeurEngine::writePiece(int index, std::int64_t position, std::string_view bytes, bool last,
                               WriteFailure& failure) {
    const int fd = fileOf(index, failure, last);
    if (fd < 0 || !writer_.writeAt(fd, position, bytes, failure)) {
        return false;
    }
    return !last || completeFile(index, failure);
}

int ServeurEngine::fileOf(int index, WriteFailure& failure, bool lookNow) {
    const std::uint64_t round = lookNow ? 0 : lookupRound();
    if (!holdReceiveFolder(failure, round)) {
        return -1;
    }
    const TransferRow& row = table_.at(index);
    const std::string name = diskName(row);
    int fd = writer_.keptFor(writerKey(row), name, round);
    if (fd >= 0) {
        return fd;
    }
    if (!sameStagingFile(index)) {
        writer_.forget(writerKey(row));
        failure =
            WriteFailure{name + " was moved, removed or replaced by someone else", false, true};
        return -1;
    }
    fd = writer_.open(writerKey(row), withoutTrailingBlanks(row.origin), name, failure);
    if (fd < 0) {
        return -1;
    }
    if (!idleFiles_.isActive()) {
        idleFiles_.start();
    }
    if (row.staged && row.stagedInode == 0) {
        const FileIdentity made = identityAt(fd, {}).value_or(FileIdentity{});
        table_.edit(index).stagedInode = made.inode;
        table_.edit(index).stagedBorn = made.born;
    }
    return fd;
}

// A staging file once made is opened anew (after a pause) only when it is still the very file
// this transfer wrote: one made again in its place would read as zeros where bytes were held.
// It is looked at before opening, since opening would make a missing one anew.
bool ServeurEngine::sameStagingFile(int index) {
    const TransferRow& row = table_.at(index);
    if (!row.staged || row.stagedInode == 0) {
        return true;
    }
    const int folderFd = originFolder(row.origin);
    const bool same = folderFd >= 0 && identityAt(folderFd, diskName(row)) ==
                                           FileIdentity{row.stagedInode, row.stagedBorn};
    if (folderFd >= 0) {
        ::close(folderFd);
    }
    return same;
}

void ServeurEngine::restartDisturbed(int index, const WriteFailure& failure) {
    const TransferRow row = table_.at(index);
    const std::int64_t pauseMs = core_.disturbed(index, now());
    if (trace_.wants("staging disturbed")) {
        trace_.write("staging disturbed", transferText(row.origin, row.file) + ": " + failure.why +
                                              "; the transfer starts again from nothing in " +
                                              std::to_string(pauseMs / 1000) + " s (hidden \"" +
                                              stagingName(row.file) +
                                              "\" files must be left alone)");
        startedAt_.erase(writerKey(row));
    }
    const int folderFd = originFolder(row.origin);
    if (folderFd >= 0) {
        removeState(folderFd, row.file);
        ::close(folderFd);
    }
    ext_.forget(row);
    writer_.begin(writerKey(row));
    emit tableChanged();
}

// A staged file is synced, then takes its name; the record of its progress is then of no use.
bool ServeurEngine::completeFile(int index, WriteFailure& failure, bool told) {
    const TransferRow& row = table_.at(index);
    if (!row.staged) {
        return writer_.finish(writerKey(row), failure);
    }
    if (!writer_.publish(writerKey(row), row.file, failure)) {
        return false;
    }
    const int folderFd = originFolder(row.origin);
    if (folderFd >= 0) {
        removeState(folderFd, row.file);
        ::close(folderFd);
    }
    if (told && trace_.enabled()) {
        trace_.write("file renamed", transferText(row.origin, row.file) + ": \"" +
                                         stagingName(row.file) +
                                         "\" synced and renamed to its name, folder synced");
    }
    return true;
}

int ServeurEngine::originFolder(const std::string& origin) {
    bool made = false;
    WriteFailure failure;
    return folder_.openOriginFolder(withoutTrailingBlanks(origin), made, failure);
}

void ServeurEngine::sweepStagingFiles() {
    sweepStaging(
        folder_.fd(), stagingAgeSeconds(cfg_.cfgStagingAge), [this](const std::string& path) {
            if (trace_.enabled()) {
                trace_.write("staging removed",
                             path + ": no transfer resumed it for " +
                                 std::to_string(stagingAgeSeconds(cfg_.cfgStagingAge)) + " s");
            }
        });
}

void ServeurEngine::finishRow(const PieceWrite& piece) {
    const PieceDone done = core_.written(piece, now());
    if (!done.finished) {
        positionMoved();
        return;
    }
    const TransferRow& row = *done.finished;
    if (trace_.enabled()) {
        trace_.write("file finished",
                     transferText(row.origin, row.file) + ", " +
                         transferSummary(piece.next - 1, elapsedMs(writerKey(row))) + ", from " +
                         peerText());
    }
    recordReceived(row, piece.next - 1, {});
    startedAt_.erase(writerKey(row));
    emit tableChanged();
}

// The file is whole under its name: its record, the journal's line and the command after it.
void ServeurEngine::recordReceived(const TransferRow& row, std::int64_t size,
                                   const std::string& sha256) {
    FileRecord record;
    record.received = true;
    record.origin = withoutTrailingBlanks(row.origin);
    record.name = row.file;
    record.size = size;
    record.sha256 = sha256;
    record.durationMs = elapsedMs(writerKey(row));
    record.bytesThisRun = size;
    record.extended = !sha256.empty();
    record.result = sha256.empty() ? "received" : "verified";
    record.path = joinPath(joinPath(cfg_.cfgRepertoire, record.origin), row.file);
    record.peer = peerText();
    recordFile(trace_, record);
}

void ServeurEngine::positionMoved() {
    if (udpSend.handling()) {
        tableMoved_ = true;
    } else {
        emit tableChanged();
    }
}

// --- Acknowledgements -----------------------------------------------------------------------

void ServeurEngine::EnvoieAck(std::int64_t position) {
    buildAck(std::to_string(position), ackText_);
    sendAnswer(ackText_);
}

void ServeurEngine::sendAnswer(std::string_view ack) {
    bool sent = false;
    if (!modeTcp) {
        // A lost answer is made good by the sender's next header.
        sent = udpSend.reply(ack);
    } else if (tcpSend.connection(indexTcp) != nullptr) {
        sent = tcpSend.send(indexTcp, ack);
        if (!sent) {
            tcpSend.discard(indexTcp);
        }
    }
    if (trace_.enabled() && (!sent || (headerFrame_ && headerLine()))) {
        trace_.write(sent ? "ack sent" : "ack not sent", std::string(ack) + " to " + peerText());
    }
}

// Time since the origin's transfer began, resumes included.
std::int64_t ServeurEngine::elapsedMs(const std::string& transfer) const {
    const auto found = startedAt_.find(transfer);
    return found == startedAt_.end() ? 0 : found->second.elapsed();
}

std::string ServeurEngine::elapsedText(const std::string& transfer) const {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(elapsedMs(transfer)) / 1000.0);
    return text;
}

std::string ServeurEngine::peerText() const {
    std::string text = modeTcp ? "TCP #" + std::to_string(indexTcp) + " " : std::string("UDP ");
    text += peerAddress_.toString().toStdString();
    text += ' ';
    text += std::to_string(peerPort_);
    return text;
}

// --- The plain core's inputs -----------------------------------------------------------------

void ServeurEngine::setLiveRowMs(std::int64_t ms) {
    PlainReceiver::Settings settings = core_.settings();
    settings.liveRowMs = ms;
    core_.setSettings(settings);
}

// Once per batch of datagrams; every time outside one.
void ServeurEngine::readClocks() {
    const std::uint64_t round = lookupRound();
    if (round != 0 && timeOfBatch_ == round) {
        return;
    }
    timeOfBatch_ = round;
    batchEpochMs_ = QDateTime::currentMSecsSinceEpoch();
    batchClockMs_ = clock_.elapsed();
}

Instant ServeurEngine::now() {
    readClocks();
    return Instant{batchEpochMs_, batchClockMs_};
}

// Every plain piece is checked against its row's sender: the address is made text only when the
// sender changes, not for every piece.
const std::string& ServeurEngine::peerAddressText() {
    if (peerAddress_ != textedAddress_) {
        textedAddress_ = peerAddress_;
        peerAddressText_ = peerAddress_.toString().toStdString();
    }
    return peerAddressText_;
}

// A sender whose connection closed may resume at once from anywhere, over UDP say.
void ServeurEngine::connectionGone(int index) {
    const TcpListener::Connection* connection = tcpSend.connection(index);
    if (connection != nullptr) {
        core_.connectionGone(plainAddress(connection->peerAddress).toString().toStdString(),
                             connection->peerPort);
    }
}

void ServeurEngine::drop(std::string_view why) {
    if (trace_.wants("frame dropped")) {
        trace_.write("frame dropped", std::string(why) + " (" + peerText() + ")");
    }
}

} // namespace zelk
