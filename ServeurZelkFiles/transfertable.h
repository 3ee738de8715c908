#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zelk {

// The server's memory of the transfers in progress: one row per transfer, in the order the rows
// were opened. An origin has one row, or several when its client runs several extended transfers
// at once (each with its own identity). Positions and ports are numbers, written as text only for
// the window and the wire; the size stays as the header wrote it, since a header matches its row on
// that text.
struct TransferRow {
    std::string origin;        // "Origine": 10 characters, trailing blanks kept
    std::string address;       // "Adresse": peer of the row's latest header
    std::uint16_t port = 0;    // "Port"
    std::string file;          // "Fichier en cours"
    std::int64_t position = 1; // "Position reçue": next byte expected, 1-based
    std::string total;         // "Total à recevoir": the size as the header wrote it
    double totalValue = 0;     // `total` read as a number: every piece is compared against it
    // Not columns of the table proper: the window shows them after the six.
    std::uint64_t transfer = 0; // the extension's transfer identity; 0 for the plain protocol
    std::string rate{};         // bytes per second lately, as text; empty until measured
    double rateValue = 0;       // the same, as a number
    std::int64_t rateMarkMs = -1;
    std::int64_t rateMarkBytes = 0;
    bool staged = false;           // arriving under its staging name
    bool resumed = false;          // taken up from what an earlier run of the server left
    std::uint64_t stagedInode = 0; // of the staging file once made; 0 before
    std::uint64_t stagedBorn = 0;  // its birth time, when the file system tells it
    std::int64_t lastFrameMs = 0;  // when a frame last moved the row, in ms since 1970 (UTC)
    bool keyed = false;            // of an origin with a key: the table keeps room for these
};

// An origin as the window and the status show it: its files under way, and their rate together.
struct OriginSummary {
    std::string origin;
    int transfers = 0;
    double rate = 0; // bytes per second lately, all its files together
    std::int64_t lastFrameMs = 0;
};

class TransferTable {
public:
    // Row indexes are 16-bit on the wire of the window lists.
    static constexpr int kMaxRows = 32767;

    int count() const { return static_cast<int>(rows_.size()); }
    bool full() const { return count() >= kMaxRows; }
    const TransferRow& at(int index) const { return rows_.at(static_cast<std::size_t>(index)); }

    // False when the table already holds kMaxRows rows, or a row of the origin unless `beside`
    // (another transfer of the origin, at once).
    bool append(TransferRow row, bool beside = false);
    void replace(int index, TransferRow row);
    void setPosition(int index, std::int64_t position);
    // Any column but the origin, which only replace() changes.
    TransferRow& edit(int index) { return rows_.at(static_cast<std::size_t>(index)); }
    void remove(int index);
    void clear();
    // Index of the origin's first row (all 10 characters compared), or -1.
    int findOrigin(std::string_view origin) const;
    // Index of the origin's row of that extended transfer, or -1.
    int findTransfer(std::string_view origin, std::uint64_t transfer) const;
    // The origin's rows, in table order.
    std::vector<int> rowsOf(std::string_view origin) const;
    int countOf(std::string_view origin) const;
    // One entry per origin, in the order of their first rows.
    std::vector<OriginSummary> origins() const;
    // Rows of origins without a key.
    int keylessCount() const { return keyless_; }

private:
    void unlist(const std::string& origin, int index);

    std::vector<TransferRow> rows_;
    // Every datagram looks its origin up: with thousands of rows a scan of the table would cost
    // more than the datagram itself.
    std::unordered_map<std::string, std::vector<int>> byOrigin_; // ascending

    int keyless_ = 0;
};

} // namespace zelk
