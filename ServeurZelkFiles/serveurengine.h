#pragma once

#include "codec.h"
#include "config.h"
#include "digest.h"
#include "extcodec.h"
#include "piecewriter.h"
#include "plainreceiver.h"
#include "rangeset.h"
#include "receivefolder.h"
#include "secure.h"
#include "staging.h"
#include "syncworker.h"
#include "tcplistener.h"
#include "trace.h"
#include "transfertable.h"
#include "udpendpoint.h"
#include "verifiedlist.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// The name the row's file has on disk while it arrives.
std::string diskName(const TransferRow& row);

// How the trace names a transfer: the origin as its folder is named, and the file.
std::string transferText(std::string_view origin, std::string_view file);

// Bytes as the window shows them: UTF-8 when they are, one character per byte otherwise.
QString displayText(std::string_view bytes);

// The receiving server without its window: the UDP socket, the TCP listener and its connections,
// the files, the trace and the extension around the plain receiver core, which holds the transfer
// table and decides what a plain frame does to it. Everything runs on the one event thread; a
// header goes from one procedure to the next as one value, while the channel and the bytes of the
// frame being handled are members that every arrival overwrites.
class ServeurEngine : public QObject {
    Q_OBJECT
public:
    explicit ServeurEngine(QObject* parent = nullptr, std::FILE* traceSink = stderr);
    // Writes what it verified lately, if not written yet.
    ~ServeurEngine() override;

    // Start-up in order: keys, receive folder, the list of files verified lately, staging files
    // left too long swept, empty table, UDP bind, TCP listen, port labels. On failure `error`
    // names the cause and no socket is left open.
    bool start(const ServerConfig& config, QString& error);
    // On SIGHUP the key file is read again (its path is the one given at start) and the trace
    // switched on or off.
    bool reloadKeys(QString& error) { return loadKeys(error); }
    void setTraceEnabled(bool on) { trace_.setEnabled(on); }

    quint16 udpPort() const { return udpSend.localPort(); }
    quint16 tcpPort() const { return tcpSend.localPort(); }
    const QString& udpLabel() const { return udpLabel_; }
    const QString& tcpLabel() const { return tcpLabel_; }
    const TransferTable& table() const { return core_.table(); }
    // Lets a test place a transfer where real traffic would take hours to bring it.
    TransferTable& table() { return core_.table(); }
    // How long after its latest frame a row's sender counts as active: another sender of the
    // same origin is refused meanwhile (tests shorten it).
    void setLiveRowMs(std::int64_t ms);
    // The listener and its connections, by index.
    TcpListener& connections() { return tcpSend; }
    // Lets a test see, or make fail, the writes and syncs that keep received files.
    void useFileOps(FileOps& ops) {
        writer_.useFileOps(ops);
        syncer_.useFileOps(ops);
    }

signals:
    // Emitted when the table changed; positions moved by a batch of datagrams are told once, after
    // it. A window coalesces these into one refresh.
    void tableChanged();

private:
    bool Set_FilPos(QString& error);
    bool bindAddress(QString& error);
    bool bindUdp(QString& error);
    bool listenTcp(QString& error);

    void udpSend_DataArrival(std::string_view bytes, const QHostAddress& from, quint16 fromPort);
    void tcpSend_DataArrival(int index);
    void tcpSend_Close(int index);
    void tcpSend_Error(int index);
    void tcpSend_Idle(int index);
    void aboutConnection(int index);
    void handleGathered(int index);
    bool readMore(int index);
    void handleFrame();

    // A header as it goes from intake through the key's check and the table to its answer.
    struct HeaderCall {
        std::string nomOrigine;
        std::string nomFichier;
        std::string tailleTotale;          // the offer's size when one is taken
        std::optional<ext::Offer> offer;   // taken by the extension
        std::optional<ext::Accept> accept; // appended to the answer
    };
    void Match_File(HeaderCall& call);
    PlainFrame plainFrame(std::string_view origin);
    PlainFrame plainFrame(const HeaderCall& call);
    bool keyOfRow(const std::string& origin);
    void rowsGone(const std::vector<GoneRow>& gone, Instant now, const HeaderCall& call);
    void headerDropped(const HeaderReply& reply);
    void secondSender(const TransferRow& row, const HeaderCall& call);
    void rowStarted(int index, HeaderCall& call);
    void rowResumed(int index, HeaderCall& call);
    // The time of the frame being handled, read once per batch of datagrams.
    Instant now();

    void Donnees_de_Contenu();
    bool holdReceiveFolder(WriteFailure& failure, std::uint64_t round);
    // Names are looked up once per batch of datagrams; 0 (a TCP frame, a timer) looks every time.
    std::uint64_t lookupRound() const { return udpSend.handling() ? batch_ : 0; }
    bool writePiece(int index, std::int64_t position, std::string_view bytes, bool last,
                    WriteFailure& failure);
    // The open file of the row's transfer, opened (created when missing) when it is not; a
    // staging file that is no longer the one this transfer made fails as disturbed. `lookNow`:
    // its names are looked up even if they were in this batch (before a file is finished).
    int fileOf(int index, WriteFailure& failure, bool lookNow = false);
    bool sameStagingFile(int index);
    // The staging file was moved, removed or replaced: the row and what it held are forgotten.
    void restartDisturbed(int index, const WriteFailure& failure);
    bool completeFile(int index, WriteFailure& failure);
    // The origin's folder, held open for the caller to close; -1 when it cannot be had.
    int originFolder(const std::string& origin);
    void sweepStagingFiles();
    void pieceFailed(const TransferRow& row, const WriteFailure& failure);
    void finishRow(const PieceWrite& piece);

    // The extension: an offered header is accepted in its answer; the transfer then goes on in
    // extended datagrams, each answered with what is written and where.
    struct ExtReceive {
        std::string origin;
        std::int64_t size = 0;
        ext::RangeSet written;
        std::unique_ptr<ext::RunningDigest> digest = std::make_unique<ext::RunningDigest>();
        std::int64_t writebackFrom = 0; // bytes before this were handed to the disk already
        std::int64_t keptAt = 0;        // bytes claimed by the latest record beside the file
        bool syncing = false;           // a sync for the next record is under way
        std::uint64_t epoch = 0;        // changes when what was written no longer counts
        std::string keyId;              // the key that proved it (8 bytes); empty without one
    };
    // Transfer identities belong to their origin: another origin's use of the same number
    // neither blocks nor answers a transfer.
    using ExtKey = std::pair<std::uint64_t, std::string>; // identity, origin (10 characters)
    using ExtMap = std::map<ExtKey, ExtReceive>;
    // The transfer an extended datagram names: under its session's origin when it came sealed,
    // else the one of an origin without a key that holds the identity.
    ExtMap::iterator extendedOf(std::uint64_t transfer);
    ExtMap::iterator keylessExtended(std::uint64_t transfer);
    // The key id of the header being handled: its proof's, or empty without a key.
    std::string provingKeyId() const;
    const VerifiedEntry* verifiedFor(const VerifiedAsk& ask);
    const VerifiedEntry* verifiedKeyless(std::uint64_t transfer, std::int64_t size);
    void answerFinishAgain(const ext::Frame& frame);
    void rememberVerified(int index, const ExtReceive& state);
    void keepVerified();
    void saveVerified();
    void loadVerified();
    bool answerVerifiedAgain(HeaderCall& call);
    void extendedFailed(int index, std::uint64_t transfer, const WriteFailure& failure);
    void startWriteback(int index, ExtReceive& state);
    std::optional<ext::Offer> acceptableOffer(const HeaderCall& call);
    // The answer's position: 1, or past what an earlier run left on disk for this file.
    std::int64_t startExtended(int index, HeaderCall& call);
    bool resumeFromDisk(int index, ExtReceive& state);
    void keepProgress(int index, int fd, ExtReceive& state);
    void recordProgress(const StagingState& record, std::int64_t claimed, std::uint64_t epoch,
                        bool synced);
    void traceAccepted(const TransferRow& row, std::int64_t held);
    void traceResumed(const TransferRow& row, const StagingState& found);
    void adoptExtended(int index, HeaderCall& call);
    void forgetExtended(TransferRow& row);
    void extendedDatagram(std::string_view bytes);
    void clientFrame(const ext::Frame& frame);
    ExtReceive* extendedRow(const ext::Frame& frame, int& index);
    void extendedData(const ext::Frame& frame);
    void extendedFinish(const ext::Frame& frame);
    void digestMismatch(ExtReceive& state, int index);
    void extendedVerified(std::uint64_t transfer, int index, const std::string& sha256);
    void recordReceived(const TransferRow& row, std::int64_t size, const std::string& sha256);
    bool catchUpDigest(int index, ExtReceive& state, std::int64_t budget);
    void answerExtended(ext::Kind kind, std::uint64_t transfer, std::int64_t value);
    void answerWritten(const ExtKey& transfer, const ExtReceive& state, std::size_t drawnBy);
    void oweAck(const ExtKey& transfer, std::size_t drawnBy);
    void sendOwedAcks();
    // A position moved: the window hears of it at once, or once per batch of datagrams.
    void positionMoved();

    // Keyed origins: their transfers start only once the sender proved its key, and go on in
    // sealed datagrams; nothing in clear naming them changes anything.
    bool loadKeys(QString& error);
    // Asked for every frame: no copy of the origin, and nothing at all without keys.
    bool keyedOrigin(std::string_view origin) const {
        return !keys_.empty() && keys_.find(origin) != keys_.end();
    }
    bool admitted(bool header);
    void keyedHeader(HeaderCall& call);
    const ext::Key* keyById(const std::string& origin, const ext::KeyId& id) const;
    void sendChallenge(const ext::Key& key, const ext::KeyId& keyId, ext::Transcript t);
    bool repeatedProof(const ext::Key& key, const ext::KeyId& keyId, const ext::Transcript& t,
                       HeaderCall& call);
    void provenHeader(const ext::Key& key, const ext::KeyId& keyId, const ext::Transcript& t,
                      HeaderCall& call);
    void sealedDatagram(std::string_view bytes);
    void sealAnswer(const ExtKey& transfer);
    bool freshProof(const ext::Transcript& t, const ext::KeyId& keyId);
    ext::ChallengeInput challengeInput(const ext::Transcript& t, const ext::KeyId& keyId);
    // Lines caused by input nobody authenticated: a flood must not fill the disk with them.
    bool floodLine();
    bool headerLine();
    bool sameKeyAsRow(const TransferRow& row) const;
    void forgetSessions();
    void authFailed(std::string_view why);

    // Every plain piece is checked against its row's sender: the address is made text only when
    // the sender changes, not for every piece.
    const std::string& peerAddressText();
    QHostAddress textedAddress_;
    std::string peerAddressText_;
    void connectionGone(int index);

    // `accept`: the extension's acceptance, appended to the answer.
    void EnvoieAck(std::int64_t position, const std::optional<ext::Accept>& accept = std::nullopt);
    std::string peerText() const;
    void drop(std::string_view why);
    std::int64_t elapsedMs(const std::string& origin) const;
    std::string elapsedText(const std::string& origin) const;

    ServerConfig cfg_;
    struct OriginKey {
        ext::Key key{};
        ext::KeyId id{}; // computed once: every hello names one
    };
    std::map<std::string, std::vector<OriginKey>, std::less<>> keys_; // by origin, 10 characters
    bool keylessServed_ = true;
    // Challenges are made from a secret and checked when their proof comes: nothing is kept
    // for a hello. Proofs taken are kept while they could be fresh, so none is taken twice.
    std::unique_ptr<ext::ChallengeMint> mint_;
    ext::UsedProofs usedProofs_;
    std::map<ExtKey, ext::Session> sessions_; // by transfer identity and origin
    // The session of the sealed datagram being handled; none for one in clear.
    std::optional<ExtKey> sealedFrom_;
    std::string addressText_; // the sender's address and port, as a challenge binds them
    // The proof being answered: the acceptance carries the server's proof of it.
    std::optional<std::pair<ext::Key, ext::Transcript>> proving_;
    ext::KeyId provingId_{};
    ext::Digest verifiedDigest_{}; // of the transfer being verified
    std::string opened_;           // a sealed datagram's body, decrypted
    std::string sealedAnswer_;
    std::int64_t floodTokens_ = 0; // lines left for unauthenticated input, refilled each second
    std::int64_t floodRefillMs_ = 0;
    std::int64_t floodLeftOut_ = 0;
    ExtMap extended_;
    // Transfers verified lately: a repeated header or finish (its answer lost) is answered again
    // rather than sending the file again. Kept in the receive folder across restarts.
    VerifiedList verified_;
    QTimer saveVerified_;
    std::int64_t verifiedSavedMs_ = 0; // on clock_; 0: never
    bool verifiedDirty_ = false;
    std::string extAnswer_;
    // Pieces that came in one batch of datagrams are acknowledged once, after the batch: the Ack
    // carries the cumulative position and ranges, so the last says all the others said.
    struct OwedAck {
        ExtKey transfer;
        UdpEndpoint::Source to;
        std::size_t drawnBy; // the largest datagram it answers: an Ack in clear stays in
                             // proportion to what drew it
        bool sealed;
    };
    std::vector<OwedAck> owedAcks_;
    std::uint64_t batch_ = 1;            // the batch of datagrams being handled, counted
    std::uint64_t folderLookedUpIn_ = 0; // the batch the receive folder was last found in
    bool tableMoved_ = false;            // positions moved in this batch, not yet told
    // The time of the batch being handled, in ms since 1970 and on clock_: to within one batch is
    // all the rates and the idle rows need, and reading clocks for every piece is not free.
    std::uint64_t timeOfBatch_ = 0;
    std::int64_t batchEpochMs_ = 0;
    std::int64_t batchClockMs_ = 0;
    void readClocks();
    QElapsedTimer clock_;
    QString udpLabel_;
    QString tcpLabel_;
    // The plain rules and the transfer table, which the extension's rows share.
    PlainReceiver core_;
    TransferTable& table_{core_.table()};
    // Held open: every file below it is reached from its descriptor.
    ReceiveFolder folder_;
    // Files being received stay open between pieces; those left idle are closed after a while.
    PieceWriter writer_;
    QTimer idleFiles_;
    // Staging files nobody resumed are deleted after a while; looked for now and then.
    QTimer sweep_;
    UdpEndpoint udpSend;
    TcpListener tcpSend;
    Trace trace_;
    // When each origin's current file began: its record says how long it took, trace on or off.
    std::map<std::string, QElapsedTimer> startedAt_;

    // Last, so that it stops before anything its reports reach goes away.
    SyncWorker syncer_{*this, FileOps::system()};

    // The frame being handled: the channel it came by and its bytes.
    bool modeTcp = false;
    bool headerFrame_ = false;
    int indexTcp = 0;
    std::string_view tamponRecu; // the frame being handled, read in place
    std::string tcpFrame_;       // a frame cut from a TCP stream, its storage kept
    std::string ackText_;        // the answer being sent, its storage kept between answers
    FrameCheck check_;
    QHostAddress peerAddress_;
    quint16 peerPort_ = 0;
    std::size_t datagramBytes_ = 0; // of the datagram being handled
};

} // namespace zelk
