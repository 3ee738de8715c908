#pragma once

// The server's rules for the extension and keyed origins, with no socket, no clock and no file
// descriptor: a header or an extended datagram comes in as one value with its time, and what the
// server makes of it comes back as one value (the answers' bytes, why it is dropped or refused,
// the file verified). The disk is reached through one narrow interface that the shell implements
// over its files and the simulation over its in-memory disk; the plain rules stay with
// `PlainReceiver`, whose table the extension's rows share.

#include "digest.h"
#include "extcodec.h"
#include "keyedsessions.h"
#include "plainreceiver.h"
#include "rangeset.h"
#include "receivefolder.h"
#include "staging.h"
#include "verifiedlist.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// What an earlier run of the server left for a row's file.
struct StagedFile {
    bool folder = false;                 // the origin's folder could be had
    std::optional<StagingState> record;  // the record beside the staging file
    std::optional<FileIdentity> staging; // the staging file's identity
    std::int64_t size = -1;              // the staging file's size; -1 when it is not there
};

// A finished file as its name holds it now.
struct KeptFile {
    std::uint64_t inode = 0;
    std::int64_t changedNs = 0;
};

// The disk as the extension needs it. Rows are the table's indexes; offsets are 0-based.
class ExtendedDisk {
public:
    virtual ~ExtendedDisk() = default;
    // The row's file, opened (made when missing) when it is not; `lookNow`: its names are looked
    // up even if they were lately (before a file is finished). A staging file that is no longer
    // the one this transfer made fails as disturbed.
    virtual bool open(int row, bool lookNow, WriteFailure& failure) = 0;
    virtual bool write(int row, std::int64_t offset, std::string_view bytes,
                       WriteFailure& failure) = 0;
    // Up to `length` bytes at `offset` read back; the count read, or -1.
    virtual long read(int row, char* into, std::size_t length, std::int64_t offset) = 0;
    // The row's next piece replaces whatever file holds its name.
    virtual void begin(const TransferRow& row) = 0;
    // The row's transfer goes on in the staging file an earlier run wrote.
    virtual void adopt(const TransferRow& row) = 0;
    virtual StagedFile staged(const TransferRow& row) = 0;
    virtual void removeRecord(const TransferRow& row) = 0;
    // Bytes [from, upTo) handed to the disk without waiting; false when the file is not open.
    virtual bool writeback(int row, std::int64_t from, std::int64_t upTo) = 0;
    // Syncs the row's file away from the caller, then hands the record to
    // ExtendedReceiver::recordSynced, never from within this call; false when no sync began.
    virtual bool syncThenRecord(int row, const StagingState& record, std::int64_t claimed,
                                std::uint64_t epoch) = 0;
    virtual bool writeRecord(const StagingState& record, std::string& why) = 0;
    // The row's whole, verified file brought to stable storage under its name: at once (Done),
    // or away from the caller (Pending: the outcome goes to ExtendedReceiver::published, never
    // from within this call).
    enum class Publish { Done, Pending, Failed };
    virtual Publish publish(int row, WriteFailure& failure) = 0;
    // The regular file of that name in the origin's folder.
    virtual std::optional<KeptFile> kept(const std::string& origin, const std::string& file) = 0;
    virtual void saveVerified(const VerifiedList& list) = 0;
};

// A header as intake decoded it, from an origin intake admitted.
struct ExtHeaderIn {
    std::string origin; // all 10 characters
    std::string file;
    std::string size;         // the plain size field, as text
    std::string_view payload; // the header's text: the offer and the handshake are read from it
    std::string_view address; // the sender's, as text
    std::uint16_t port = 0;
    int tcpIndex = -1; // -1 over UDP
    Instant now;
};

struct ExtHeaderReply {
    std::string_view refused; // it fails authentication: why; no answer
    bool challenged = false;  // answered with a challenge for the origin's key
    bool proven = false;      // a fresh proof of the key: a session starts
    bool keyHeld = false;     // its sender proved the key (fresh or repeated)
    std::string keyId;        // of the key proven, in hexadecimal
    bool again = false;       // answered from what is held; nothing changed
    bool plainAsked = false;  // the plain rules decided: `plain`
    HeaderReply plain;
    std::string size; // the size as the row keeps it
    std::string file; // the file's name, when the header sealed it; empty: the header's
    bool offered = false;
    std::optional<std::int64_t> held;    // the offer accepted, with so many bytes held
    std::optional<StagingState> resumed; // what an earlier run left, taken up
    int granted = 0;    // the transfers at once its client may run, when it asked; 0: it did not
    std::string answer; // empty: none
};

// An extended datagram's circumstances. `peer` names its source to the caller: answers owed
// within a batch of datagrams go to the latest source of their transfer.
struct ExtDatagramIn {
    std::uint64_t peer = 0;
    bool inBatch = false;
    Instant now;
};

struct ExtAnswer {
    std::string bytes;
    std::uint64_t peer = 0;
};

struct ExtDatagramReply {
    std::vector<ExtAnswer> answers; // in the order they go
    std::string drop;               // why it is dropped
    std::string_view refused;       // why it fails authentication
    bool moved = false;             // a row's position moved
    struct Failed {
        TransferRow row;
        WriteFailure failure;
        std::int64_t pauseMs = -1; // disturbed: the transfer starts again after this pause
    };
    std::optional<Failed> failed;
    std::optional<TransferRow> mismatch; // the copy is discarded, the file sent again
    struct Verified {
        TransferRow row; // out of the table now
        std::int64_t size = 0;
        std::string sha256;
    };
    std::optional<Verified> verified;
    std::int64_t saveInMs = 0; // the list of verified transfers is owed a save within this
};

class ExtendedReceiver {
public:
    // Hashing reads back what was written; bounded per datagram so that one transfer catching
    // up (a resume, say) never holds the others up for long.
    static constexpr std::int64_t kDigestStepBytes = 8 << 20;
    static constexpr std::int64_t kDigestAtFinishBytes = 256 << 20;
    // The list of verified transfers is written at most this often.
    static constexpr std::int64_t kVerifiedSaveMs = 1000;
    // Written bytes are handed to the disk in steps of this many, without waiting, so that the
    // sync before the final answer has little left to do.
    static constexpr std::int64_t kWritebackStepBytes = 4 << 20;
    // A staging file's record is renewed in steps of this many: a restart sends again at most
    // about this much and a window. Each renewal first syncs what it claims.
    static constexpr std::int64_t kRecordStepBytes = 4 << 20;

    struct Settings {
        bool extension = true;     // offers are accepted
        bool keylessServed = true; // origins without a key are heard
    };

    ExtendedReceiver(PlainReceiver& plain, ExtendedDisk& disk) : plain_(plain), disk_(disk) {}
    void setSettings(const Settings& settings) { settings_ = settings; }
    // Keys by origin; the challenges' secret drawn by the caller.
    void loadKeys(const std::vector<ext::KeyLine>& lines, const ext::Key& mintSecret);
    const KeyedSessions& keys() const { return keys_; }
    // Forgets every transfer under way.
    void clear();

    // Why a frame of the origin is not heard; nothing when it is. `authentication`: it names a
    // keyed origin, and whoever sent it could send a great deal of it.
    struct Refusal {
        std::string_view why;
        bool authentication = false;
    };
    std::optional<Refusal> admit(std::string_view origin, bool header, bool tcp) const;

    ExtHeaderReply header(const ExtHeaderIn& in);
    // A datagram that begins with the extension's start byte, or the sealed one's.
    ExtDatagramReply datagram(std::string_view bytes, const ExtDatagramIn& in);
    // The end of a batch of datagrams: the Acks owed.
    std::vector<ExtAnswer> batchEnd();
    // A sync asked by syncThenRecord is done: why progress was not kept, if it was owed.
    std::optional<std::string> recordSynced(const StagingState& record, std::int64_t claimed,
                                            std::uint64_t epoch, bool synced);
    // A file the disk was asked to publish is on stable storage under its name (`done`), or
    // could not be made so. `in` names where its answer goes.
    ExtDatagramReply published(const ExtKey& transfer, bool done, const WriteFailure& failure,
                               const ExtDatagramIn& in);
    std::size_t publishing() const { return commits_.size(); }
    // The list of verified transfers written, if changed.
    void saveVerified(Instant now);
    VerifiedList& verified() { return verified_; }
    // A row the plain rules ended: what the extension held for it goes too.
    void forget(const TransferRow& row);
    std::size_t transfers() const { return extended_.size(); }

private:
    struct ExtReceive {
        std::string origin;
        std::int64_t size = 0;
        ext::RangeSet written;
        std::unique_ptr<ext::RunningDigest> digest = std::make_unique<ext::RunningDigest>();
        std::int64_t writebackFrom = 0; // bytes before this were handed to the disk already
        std::int64_t keptAt = 0;        // bytes claimed by the latest record beside the file
        bool syncing = false;           // a sync for the next record is under way
        bool publishing = false;        // verified; its file is being made durable
        std::uint64_t epoch = 0;        // changes when what was written no longer counts
        std::string keyId;              // the key that proved it (8 bytes); empty without one
    };
    using ExtMap = std::map<ExtKey, ExtReceive>;
    // A verified transfer whose file the disk is making durable: all its answer needs, should its
    // row go meanwhile.
    struct Publishing {
        TransferRow row;
        std::int64_t size = 0;
        std::string keyId;
        ext::Digest digest{};
        std::optional<ExtKey> sealedFrom;
    };
    // A header from intake to its answer.
    struct Call {
        const ExtHeaderIn& in;
        ExtHeaderReply& reply;
        std::string file; // the header's, or the name it sealed once opened
        std::optional<ext::Offer> offer;
        std::optional<ext::Accept> accept;
        std::optional<int> several; // the transfers at once its client asked for, with the offer
        // The proof being answered: the acceptance carries the server's proof of it.
        std::optional<std::pair<ext::Key, ext::Transcript>> proving;
        ext::KeyId provingId{};
        std::string provingKeyId() const;
    };
    // A datagram from intake to its answers.
    struct Context {
        const ExtDatagramIn& in;
        std::size_t bytes;
        ExtDatagramReply& reply;
        std::optional<ExtKey> sealedFrom; // its session; none for one in clear
    };

    // Headers.
    void keyedHeader(Call& call);
    void challenge(const ext::Key& key, const ext::KeyId& keyId, ext::Transcript t, Call& call);
    bool repeatedProof(const ext::Key& key, const ext::KeyId& keyId, const ext::Transcript& t,
                       const ext::Nonce& marker, std::int64_t size, Call& call);
    std::optional<ext::SessionKeys> handshakeKeys(const ext::Key& key, const ext::Transcript& t,
                                                  Call& call);
    void proofOfHandshake(const ext::Key& key, const ext::KeyId& keyId, const ext::Transcript& t,
                          const ext::SessionKeys& keys, const ext::Offer& offer, Call& call);
    bool openSealedName(const ext::Key& names, ext::Offer& offer, Call& call);
    void provenHeader(const ext::Key& key, const ext::KeyId& keyId, const ext::Transcript& t,
                      const ext::SessionKeys& keys, Call& call);
    void resumedHeader(ext::Offer offer, const ext::Resume& resume, Call& call);
    void resumedOffer(const ext::Key& key, const ext::Transcript& t, const ext::SessionKeys& keys,
                      const ext::Offer& offer, const ext::Resume& resume,
                      KeyedSessions::Resumable& from, Call& call);
    void openProven(const ext::Key& key, const ext::KeyId& keyId, const ext::Transcript& t,
                    const ext::SessionKeys& keys, const ext::Nonce& marker, Call& call);
    ext::ChallengeInput challengeInput(const ext::Transcript& t, const ext::KeyId& keyId,
                                       const Call& call);
    std::optional<ext::Offer> acceptableOffer(const Call& call);
    void readSeveral(Call& call);
    int granted(int asked) const;
    void matchFile(Call& call);
    PlainFrame plainFrame(const Call& call) const;
    bool keyOfRow(const PlainFrame& frame, const Call& call) const;
    bool answerVerifiedAgain(Call& call);
    std::int64_t startExtended(int index, Call& call);
    bool resumeFromDisk(int index, ExtReceive& state, Call& call);
    void adoptExtended(int index, Call& call);
    void answerHeader(std::int64_t position, Call& call);

    // Datagrams.
    ExtMap::iterator keylessExtended(std::uint64_t transfer);
    ExtMap::iterator extendedOf(std::uint64_t transfer, const Context& at);
    void extendedDatagram(std::string_view bytes, Context& at);
    void sealedDatagram(std::string_view bytes, Context& at);
    void clientFrame(const ext::Frame& frame, Context& at);
    ExtReceive* extendedRow(const ext::Frame& frame, int& index, const Context& at);
    void extendedData(const ext::Frame& frame, Context& at);
    bool writeData(const ext::Frame& frame, int index, ExtReceive& state, Context& at);
    void extendedFinish(const ext::Frame& frame, Context& at);
    void digestMismatch(ExtReceive& state, int index, Context& at);
    void extendedVerified(std::uint64_t transfer, int index, const ext::Digest& digest,
                          Context& at);
    void settleVerified(const Publishing& done, Context& at);
    bool publishingFile(std::string_view origin, std::string_view file) const;
    void extendedFailed(int index, std::uint64_t transfer, const WriteFailure& failure,
                        Context& at);
    bool catchUpDigest(int index, ExtReceive& state, std::int64_t budget);
    void startWriteback(int index, ExtReceive& state);
    void keepProgress(int index, ExtReceive& state);
    void answerFinishAgain(const ext::Frame& frame, Context& at);
    const VerifiedEntry* verifiedFor(const VerifiedAsk& ask, Instant now);
    const VerifiedEntry* verifiedKeyless(std::uint64_t transfer, std::int64_t size, Instant now);
    void rememberVerified(const Publishing& done, Context& at);
    void keepVerified(Context& at);
    void answerExtended(ext::Kind kind, std::uint64_t transfer, std::int64_t value, Context& at);
    void answerWritten(const ExtKey& transfer, const ExtReceive& state, Context& at);
    void oweAck(const ExtKey& transfer, Context& at);
    void sendOwedAcks(std::vector<ExtAnswer>& answers);
    void wrongProof(const ext::Key& key, const ext::KeyId& keyId, const ext::Transcript& t,
                    Call& call);
    void forgetSessions();

    Settings settings_;
    PlainReceiver& plain_;
    TransferTable& table_{plain_.table()};
    ExtendedDisk& disk_;
    KeyedSessions keys_;
    ExtMap extended_;
    std::map<ExtKey, Publishing> commits_;
    // Transfers verified lately: a repeated header or finish (its answer lost) is answered again
    // rather than sending the file again.
    VerifiedList verified_;
    std::int64_t verifiedSavedMs_ = 0; // steady; 0: never
    bool verifiedDirty_ = false;
    // Pieces that came in one batch of datagrams are acknowledged once, after the batch: the Ack
    // carries the cumulative position and ranges, so the last says all the others said.
    struct OwedAck {
        ExtKey transfer;
        std::uint64_t to;    // the latest source: a peer whose address changed
        std::size_t drawnBy; // the largest datagram it answers: an Ack in clear stays in
                             // proportion to what drew it
        bool sealed;
    };
    std::vector<OwedAck> owedAcks_;
    std::string opened_;      // a sealed datagram's body, decrypted
    std::string addressText_; // the sender's address and port, as a challenge binds them
};

} // namespace zelk
