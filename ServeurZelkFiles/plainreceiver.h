#pragma once

// The server's rules for plain frames, with no socket, no clock and no disk: a frame comes in as
// one value, and what the server makes of it comes back as one value (the row it concerns, the
// position to acknowledge, why it is dropped, what the disk must do). The shell around it reads
// the sockets, writes the files, keeps the trace and shows the window.

#include "transfertable.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// The time of a frame: the wall clock for what the window shows and what is idle, a steady
// clock for pauses that a change of the wall clock must not shorten.
struct Instant {
    std::int64_t wallMs = 0;   // ms since 1970 (UTC)
    std::int64_t steadyMs = 0; // ms on a clock that only goes forward
};

// A plain frame as intake decoded it. The views stay valid while the frame is handled.
struct PlainFrame {
    enum class Kind { Header, Content };
    Kind kind = Kind::Header;
    std::string_view origin;  // all 10 characters
    std::string_view file;    // a header's file name
    std::string_view size;    // a header's size, as text (an offer's size when one is taken)
    std::string_view content; // a piece's bytes
    std::string_view address; // the sender's address, as text
    std::uint16_t port = 0;   // the sender's port
    int tcpIndex = -1;        // the connection it came by; -1 over UDP
    Instant now;
    // What the extension knows of a header.
    bool offered = false; // it carries an offer the server takes
    bool proven = false;  // its sender proved the origin's key
    bool keyed = false;   // its origin has a key
    bool keyOfRow = true; // proven under the key that started the origin's extended row
    // Its client runs several extended transfers at once: an offer for another file opens a row
    // beside the origin's others rather than taking their place.
    bool several = false;
    std::uint64_t transfer = 0; // the offer's identity; 0 without one
};

// Why a frame is dropped; each has its line in the trace (dropText).
enum class Drop {
    None,
    SecondSender,        // a header from another sender while the row's sender is active
    ExtendedRowHeader,   // a plain header for the file of a live extended row
    StagingPaused,       // the file's staging file was disturbed lately
    TableFull,           // a new origin, and no row can give way
    OriginFull,          // another transfer of an origin that has as many as it may at once
    NoRow,               // content from an origin without a transfer
    ExtendedRowContent,  // plain content for a transfer in extended datagrams
    OtherPeerContent,    // plain content from another sender than the row's header
    PastLargestPosition, // content that would pass the largest position
    ResetRowContent,     // content for a row opened by a size-0 header
    PastAnnouncedSize,   // content that would pass the size its header announced
};

// A row that left the table while a frame was handled, and why: the shell forgets what the
// extension held for it and tells the trace.
struct GoneRow {
    enum class Why {
        GaveWay,       // to the transfer the header starts (the file goes on in the extension)
        Abandoned,     // the origin announced another file; its partial file stays
        PlainTookOver, // an extended row idle long enough, and a plain header came
        ResetEnded,    // a plain size-0 header ended the plain row of its file
        EvictedForKey, // a full table, and an origin whose key is proven came
        EvictedIdle,   // a full table, and the row was idle longest
    };
    TransferRow row;
    Why why = Why::GaveWay;
};

// What a header did.
enum class HeaderStep {
    Dropped,      // see `drop`; no answer
    ResetIgnored, // a plain size-0 header from an origin that speaks the extension: answered 1
    Started,      // a new row at the end of the table: the origin's file starts anew
    Resumed,      // the origin's row goes on from its position
};

struct HeaderReply {
    HeaderStep step = HeaderStep::Dropped;
    Drop drop = Drop::None;
    std::int64_t pausedMs = 0; // StagingPaused: how long the file waits still
    int row = -1;              // Started, Resumed: the row's index
    std::int64_t ack = 0;      // the position to acknowledge (the extension may say another)
    std::vector<GoneRow> gone; // in the order they left
    // A row kept from this header because another sender of its origin is active.
    std::optional<TransferRow> refusedFor;
};

// A piece to write, or why none is.
struct PieceWrite {
    Drop drop = Drop::None;
    int row = -1;
    std::int64_t position = 0; // 1-based offset of the first byte in the row's file
    std::int64_t next = 0;     // the position once written
    bool last = false;         // it completes the file: the file is then made whole and kept
    std::string_view bytes;
};

// A piece written: its answer, and the row it completed.
struct PieceDone {
    std::int64_t ack = 0;                // 0: no answer
    std::optional<TransferRow> finished; // the row the piece completed, now out of the table
};

// Driven one frame at a time: header() gives the answer at once (a Started row's file begins
// anew: its first piece replaces whatever file holds the name); content() says where the piece
// goes, and once the shell has written it (and, for the last piece, made the file whole and kept
// it) written() moves the row and gives the answer. A piece that cannot be written is left
// unanswered, so the sender's next header learns the true position.
class PlainReceiver {
public:
    static constexpr int kDefaultTransfersPerOrigin = 160;
    struct Settings {
        // How long after its latest frame a row's sender counts as active.
        std::int64_t liveRowMs = 5000;
        // Plain files arrive under a staging name, renamed once whole.
        bool stagePlain = false;
        // A full table gives a newcomer the row idle this long; 0: never.
        std::int64_t evictionMs = 0;
        // Origins with a key: rows of origins without one leave room for them.
        int keyedOrigins = 0;
        // Transfers one origin may have under way at once, when its client runs several.
        int transfersPerOrigin = kDefaultTransfersPerOrigin;
    };
    static constexpr std::int64_t kLargestPosition = 2147483647;
    static constexpr std::int64_t kSpeaksExtensionMs = 60 * 60 * 1000;
    static constexpr std::int64_t kPlainTakesOverMs = 30000;
    // A transfer of an origin at its limit with no frame for this long is one its client left.
    static constexpr std::int64_t kOwnRowLeftMs = 30000;

    PlainReceiver() = default;
    explicit PlainReceiver(const Settings& settings) : settings_(settings) {}
    void setSettings(const Settings& settings);
    const Settings& settings() const { return settings_; }

    // A header: `Match_File`.
    HeaderReply header(const PlainFrame& frame);
    // The row a header addresses: of its file, or of its identity, or (one file at a time) the
    // origin's row; -1 for none (a new origin, or another file beside the origin's others).
    int rowFor(const PlainFrame& frame) const;
    // A piece: what to write where; then written() or notWritten() with what the disk did.
    PieceWrite content(const PlainFrame& frame) const;
    PieceDone written(const PieceWrite& piece, Instant now);
    // The staging file was moved, removed or replaced: the row is forgotten, and the file's
    // headers wait a pause that doubles each time. Gives the pause.
    std::int64_t disturbed(int index, Instant now);

    // Shared with the extension.
    TransferTable& table() { return table_; }
    const TransferTable& table() const { return table_; }
    // An offer of the origin was accepted: its plain frames are held to the extension's rules.
    void extensionSpoken(const std::string& origin, Instant now);
    bool speaksExtension(std::string_view origin, Instant now) const;
    // The file arrived whole: an earlier disturbance no longer pauses it.
    void arrived(const TransferRow& row);
    // A row moved by `bytes` so far: its last frame and its rate.
    void measureRate(int index, std::int64_t bytes, Instant now);
    // A sender whose connection closed may resume at once from anywhere.
    void connectionGone(const std::string& address, std::uint16_t port);

private:
    bool plainResetIgnored(const PlainFrame& frame, HeaderReply& reply);
    bool otherLiveClient(const TransferRow& row, const PlainFrame& frame) const;
    int otherLiveRow(const PlainFrame& frame) const;
    int fileRow(std::string_view origin, std::string_view file) const;
    int endOtherRows(int index, const PlainFrame& frame, HeaderReply& reply);
    bool roomFor(const PlainFrame& frame, HeaderReply& reply);
    bool endOwnIdleRow(const PlainFrame& frame, HeaderReply& reply);
    bool plainHeaderOfExtendedRow(int& index, const PlainFrame& frame, HeaderReply& reply);
    bool stagingPaused(const PlainFrame& frame, HeaderReply& reply) const;
    bool roomForNewcomer(const PlainFrame& frame, bool beside, HeaderReply& reply);
    bool keylessRowsFull() const;
    bool evictKeyless(HeaderReply& reply);
    bool evictIdle(const PlainFrame& frame, HeaderReply& reply);
    void removeRow(int index, GoneRow::Why why, HeaderReply& reply);
    void AddListe(const PlainFrame& frame, HeaderReply& reply);
    void resume(int index, const PlainFrame& frame, HeaderReply& reply);
    static bool fromRowPeer(const TransferRow& row, const PlainFrame& frame);

    Settings settings_;
    TransferTable table_;
    static constexpr std::size_t kExtendedOriginsKept = 65536;
    std::map<std::string, std::int64_t, std::less<>> extendedOrigins_; // steady ms of the latest
    static constexpr std::size_t kDisturbedKept = 4096;
    struct Disturbance {
        int count = 0;
        std::int64_t untilMs = 0; // steady
    };
    std::map<std::string, Disturbance> disturbed_; // by origin and file
    std::set<std::string> goneTcpPeers_;           // "address port"
    // The earliest time a newcomer may find a row idle long enough: no scan of the table before.
    std::int64_t noEvictionBeforeMs_[2] = {0, 0}; // for a newcomer without, and with, a key
};

// The trace's words for a drop.
std::string dropText(Drop drop, std::int64_t pausedMs = 0);

} // namespace zelk
