#pragma once

#include "extendedreceiver.h"
#include "node.h"
#include "plainreceiver.h"

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zelk::simtest {

using namespace zelk::sim;

// The whole server as a simulated node: the plain receiver's rules and the extension's (offers,
// extended datagrams, keyed origins), with the shell of ServeurEngine played over the node's file
// system. Each origin has its folder below the receive folder; a staged file arrives under its
// staging name, with the record of what is safely on disk beside it, and takes its own name once
// whole (and, with the extension, verified). Every answer goes back to the exact address and port
// the datagram came from. A restart forgets the table and every session and keeps the disk: the
// staging records and the list of verified transfers are read again from it.
class ExtServerNode : public Node, private ExtendedDisk {
public:
    struct Settings {
        std::string folder = "in";
        bool stagePlain = false;
        bool extension = true;          // offers are accepted
        std::vector<ext::KeyLine> keys; // origins with a key
        bool keylessServed = true;
        std::uint64_t seed = 1;  // the challenges' secret is drawn from it, anew at each restart
        Micros publishDelay = 0; // a verified file takes its name this long after its verdict
    };
    ExtServerNode(FileSystem& disk, Settings settings);

    void receive(const Datagram& datagram, Micros now) override;
    std::optional<Micros> nextWake() const override;
    void wake(Micros now) override;
    std::vector<Datagram> takeOutgoing() override { return std::exchange(outgoing_, {}); }
    void restart(Micros now) override;

    // The folder of an origin's files ("simclient " arrives in "in/simclient").
    std::string folderOf(std::string_view origin) const;
    // Files made whole, in order.
    const std::vector<std::string>& completed() const { return completed_; }
    // Extended transfers verified, and files resumed from a staging record after a restart.
    int verified() const { return verified_; }
    int resumedFromDisk() const { return resumedFromDisk_; }
    // Pieces answered as of a transfer it does not know.
    int unknownPieces() const { return unknownPieces_; }
    // Verified files waiting for their names.
    std::size_t publishing() const { return publishing_.size(); }

private:
    void plainFrame(std::string_view frame, const Datagram& datagram, Instant now);
    static bool unknownPiece(std::string_view bytes, const ExtDatagramReply& reply);
    void header(std::string_view frame, const Datagram& datagram, Instant now);
    void content(std::string_view frame, const Datagram& datagram, Instant now);
    bool writePiece(const PieceWrite& piece, WriteFailure& failure);
    void restartDisturbed(int index, Instant now);
    void endBatch();
    void send(std::string_view bytes, const Datagram& to);
    void send(std::string_view bytes, const Address& to);
    Instant instant(Micros now) const;

    // The disk as the extension's core reaches it.
    std::string nameOf(const TransferRow& row) const;
    bool open(int row, bool lookNow, WriteFailure& failure) override;
    bool write(int row, std::int64_t offset, std::string_view bytes,
               WriteFailure& failure) override;
    long read(int row, char* into, std::size_t length, std::int64_t offset) override;
    void begin(const TransferRow& row) override { replace_[row.origin + row.file] = true; }
    void adopt(const TransferRow& row) override { replace_[row.origin + row.file] = false; }
    StagedFile staged(const TransferRow& row) override;
    void removeRecord(const TransferRow& row) override;
    bool writeback(int, std::int64_t, std::int64_t) override { return true; }
    bool syncThenRecord(int row, const StagingState& record, std::int64_t claimed,
                        std::uint64_t epoch) override;
    bool writeRecord(const StagingState& record, std::string& why) override;
    bool complete(int row, WriteFailure& failure);
    bool complete(const TransferRow& row, WriteFailure& failure);
    Publish publish(int row, WriteFailure& failure) override;
    void publishDue();
    std::optional<KeptFile> kept(const std::string& origin, const std::string& file) override;
    void saveVerified(const VerifiedList& list) override;

    FileSystem& disk_;
    Settings settings_;
    std::unique_ptr<PlainReceiver> plain_;
    std::unique_ptr<ExtendedReceiver> ext_;
    int restarts_ = 0;
    Micros now_ = 0;
    // Origins whose next piece replaces the file of its name: a new transfer.
    std::map<std::string, bool, std::less<>> replace_;
    // Syncs asked for a record, done at the next wake-up (never within the call that asked).
    struct Sync {
        StagingState record;
        std::int64_t claimed;
        std::uint64_t epoch;
    };
    std::deque<Sync> syncs_;
    // Verified files to be given their names, with when and where their verdict goes; forgotten
    // by a crash, which leaves them staged.
    struct Publishing {
        TransferRow row;
        Micros due;
        Address to;
    };
    std::deque<Publishing> publishing_;
    // The sources of the batch's extended datagrams, by the number the core knows them by; as
    // the program's socket does, a batch ends after this many.
    static constexpr std::size_t kBatch = 16;
    std::vector<Address> sources_;
    std::vector<Datagram> outgoing_;
    std::vector<std::string> completed_;
    int verified_ = 0;
    int resumedFromDisk_ = 0;
    int unknownPieces_ = 0;
    std::ostream* log_ = nullptr; // what the server did, for replaying a seed by eye
};

} // namespace zelk::simtest
