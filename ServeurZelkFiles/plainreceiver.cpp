#include "plainreceiver.h"

#include "numeric.h"
#include "staging.h"
#include "trace.h"

#include <algorithm>
#include <climits>

namespace zelk {

void PlainReceiver::setSettings(const Settings& settings) {
    settings_ = settings;
    noEvictionBeforeMs_[0] = noEvictionBeforeMs_[1] = 0;
}

// --- Headers --------------------------------------------------------------------------------

HeaderReply PlainReceiver::header(const PlainFrame& frame) {
    HeaderReply reply;
    if (plainResetIgnored(frame, reply)) {
        return reply;
    }
    if (const int live = otherLiveRow(frame); live >= 0) {
        reply.drop = Drop::SecondSender;
        reply.refusedFor = table_.at(live);
        return reply;
    }
    int index = rowFor(frame);
    if (index >= 0 && plainHeaderOfExtendedRow(index, frame, reply)) {
        return reply;
    }
    const bool sameTransfer = index >= 0 && table_.at(index).file == frame.file &&
                              table_.at(index).total == frame.size &&
                              !(frame.offered && table_.at(index).transfer == 0);
    if (!sameTransfer && stagingPaused(frame, reply)) {
        return reply;
    }
    if (!frame.several) {
        index = endOtherRows(index, frame, reply);
    }
    if (index >= 0 && frame.offered && table_.at(index).transfer == 0) {
        // The file went plain so far: under the extension it starts anew, staged and verified,
        // rather than from a position the plain protocol reached.
        removeRow(index, GoneRow::Why::GaveWay, reply);
        AddListe(frame, reply);
        return reply;
    }
    if (index < 0) {
        if (roomFor(frame, reply)) {
            AddListe(frame, reply);
        }
        return reply;
    }
    const TransferRow& row = table_.at(index);
    if (row.file != frame.file || row.total != frame.size || !frame.keyOfRow) {
        // The origin has moved on to another file: its partial file stays as it is.
        removeRow(index, GoneRow::Why::Abandoned, reply);
        AddListe(frame, reply);
        return reply;
    }
    resume(index, frame, reply);
    return reply;
}

int PlainReceiver::rowFor(const PlainFrame& frame) const {
    if (const int same = fileRow(frame.origin, frame.file); same >= 0) {
        return same;
    }
    if (!frame.several) {
        return table_.findOrigin(frame.origin);
    }
    if (const int same = table_.findTransfer(frame.origin, frame.transfer); same >= 0) {
        return same;
    }
    // A plain row is its origin's only one: the file it holds gives way to the extension's.
    const int first = table_.findOrigin(frame.origin);
    return first >= 0 && table_.at(first).transfer == 0 ? first : -1;
}

int PlainReceiver::fileRow(std::string_view origin, std::string_view file) const {
    for (const int index : table_.rowsOf(origin)) {
        if (table_.at(index).file == file) {
            return index;
        }
    }
    return -1;
}

// A header from a client that sends one file at a time (a plain one, or an extended one that
// asked for no more) leaves its origin one row, as it always had: the client has gone back to
// one file at a time (restarted as an older build, or its extension turned off), and it will not
// feed the other transfers again. They are given up as an abandoned file is; their staging files
// and records stay, so that an offer of the same file later resumes it.
int PlainReceiver::endOtherRows(int index, const PlainFrame& frame, HeaderReply& reply) {
    const std::vector<int> rows = table_.rowsOf(frame.origin);
    int kept = index;
    for (auto other = rows.rbegin(); other != rows.rend(); ++other) {
        if (*other != index) {
            removeRow(*other, GoneRow::Why::Abandoned, reply); // from the last: `index` holds
            kept -= *other < index ? 1 : 0;
        }
    }
    return kept;
}

// Beyond the transfers an origin may have at once, another is dropped unanswered, as a new
// origin is when the table is full: its client offers it again later. It never takes the place
// of anyone's transfer under way; only of one of the origin's own that its client left (a file
// it no longer sends, a transfer a restart of the client forgot).
bool PlainReceiver::roomFor(const PlainFrame& frame, HeaderReply& reply) {
    const int held = table_.countOf(frame.origin);
    if (held > 0 && (!frame.several || (held >= std::max(settings_.transfersPerOrigin, 1) &&
                                        !endOwnIdleRow(frame, reply)))) {
        reply.drop = Drop::OriginFull;
        return false;
    }
    if (!roomForNewcomer(frame, table_.countOf(frame.origin) > 0, reply)) {
        reply.drop = Drop::TableFull;
        return false;
    }
    return true;
}

bool PlainReceiver::endOwnIdleRow(const PlainFrame& frame, HeaderReply& reply) {
    int idlest = -1;
    for (const int index : table_.rowsOf(frame.origin)) {
        if (idlest < 0 || table_.at(index).lastFrameMs < table_.at(idlest).lastFrameMs) {
            idlest = index;
        }
    }
    if (idlest < 0 || frame.now.wallMs - table_.at(idlest).lastFrameMs < kOwnRowLeftMs) {
        return false;
    }
    removeRow(idlest, GoneRow::Why::Abandoned, reply);
    return true;
}

// A plain header of size 0 asks the server to start the file anew. From an origin that speaks the
// extension it is a stray of long ago: it opens no row whose pieces could truncate a verified
// file, and it only ends a plain row of that file, which is what it asks.
bool PlainReceiver::plainResetIgnored(const PlainFrame& frame, HeaderReply& reply) {
    if (frame.offered || frame.size != "0" || !speaksExtension(frame.origin, frame.now)) {
        return false;
    }
    const int index = fileRow(frame.origin, frame.file);
    if (index >= 0 && table_.at(index).transfer == 0) {
        if (otherLiveClient(table_.at(index), frame)) {
            reply.refusedFor = table_.at(index);
        } else {
            removeRow(index, GoneRow::Why::ResetEnded, reply);
        }
    }
    reply.step = HeaderStep::ResetIgnored;
    reply.ack = 1;
    return true;
}

// Two senders of one origin would mix their files in its one row: while the row's sender is
// active, a header from another address is refused. A proven key vouches for the sender. From the
// same address it is the sender restarted (on another port), which resumes at once; the plain
// content of the earlier port is no longer taken.
int PlainReceiver::otherLiveRow(const PlainFrame& frame) const {
    for (const int index : table_.rowsOf(frame.origin)) {
        if (otherLiveClient(table_.at(index), frame)) {
            return index;
        }
    }
    return -1;
}

bool PlainReceiver::otherLiveClient(const TransferRow& row, const PlainFrame& frame) const {
    if (frame.proven || row.address == frame.address ||
        goneTcpPeers_.count(row.address + ' ' + std::to_string(row.port)) > 0) {
        return false;
    }
    return frame.now.wallMs - row.lastFrameMs < settings_.liveRowMs;
}

// A plain header for the file of a live extended row: a late copy of a header sent before the
// extension was taken, or a second sender; the extension's transfer goes on. A row idle for long
// is given up, so that a sender that went plain starts the file anew.
bool PlainReceiver::plainHeaderOfExtendedRow(int& index, const PlainFrame& frame,
                                             HeaderReply& reply) {
    const TransferRow& row = table_.at(index);
    if (frame.offered || row.transfer == 0 || row.file != frame.file) {
        return false;
    }
    if (frame.now.wallMs - row.lastFrameMs >= kPlainTakesOverMs) {
        removeRow(index, GoneRow::Why::PlainTookOver, reply);
        index = -1; // the origin has no row now
        return false;
    }
    reply.drop = Drop::ExtendedRowHeader;
    return true;
}

bool PlainReceiver::stagingPaused(const PlainFrame& frame, HeaderReply& reply) const {
    std::string key(frame.origin);
    key += frame.file;
    const auto found = disturbed_.find(key);
    if (found == disturbed_.end() || frame.now.steadyMs >= found->second.untilMs) {
        return false;
    }
    reply.drop = Drop::StagingPaused;
    reply.pausedMs = found->second.untilMs - frame.now.steadyMs;
    return true;
}

// A proven keyed origin always gets a row; an origin without a key gets one while such rows
// leave room for every keyed origin, or in place of an idle one. Another transfer of an origin
// that has a row (`beside`) only takes a free row or an idle one: a keyed origin's second file
// must not push an origin without a key out of the table.
bool PlainReceiver::roomForNewcomer(const PlainFrame& frame, bool beside, HeaderReply& reply) {
    if (frame.keyed && beside) {
        return !table_.full() || evictIdle(frame, reply);
    }
    if (frame.keyed) {
        return !table_.full() || evictKeyless(reply) || evictIdle(frame, reply);
    }
    return (!table_.full() && !keylessRowsFull()) || evictIdle(frame, reply);
}

bool PlainReceiver::keylessRowsFull() const {
    const int reserved = std::min(settings_.keyedOrigins, TransferTable::kMaxRows / 2);
    return table_.keylessCount() >= TransferTable::kMaxRows - reserved;
}

// A proven keyed origin always gets a row: the idlest row of an origin without a key gives way
// at once.
bool PlainReceiver::evictKeyless(HeaderReply& reply) {
    int idlest = -1;
    for (int i = 0; i < table_.count(); ++i) {
        const TransferRow& row = table_.at(i);
        if (!row.keyed && (idlest < 0 || row.lastFrameMs < table_.at(idlest).lastFrameMs)) {
            idlest = i;
        }
    }
    if (idlest < 0) {
        return false;
    }
    removeRow(idlest, GoneRow::Why::EvictedForKey, reply);
    return true;
}

// A full table takes a newcomer in place of the row idle longest, once that row has been idle
// long enough; a newcomer without a key never takes a keyed origin's place. Between two scans
// that found nothing, no row can have become idle enough before the earliest time noted.
bool PlainReceiver::evictIdle(const PlainFrame& frame, HeaderReply& reply) {
    constexpr std::int64_t kLongestEvictionPauseMs = 60000;
    const int kind = frame.keyed ? 1 : 0;
    const std::int64_t now = frame.now.wallMs;
    if (settings_.evictionMs <= 0 || now < noEvictionBeforeMs_[kind]) {
        return false;
    }
    int idlest = -1;
    for (int i = 0; i < table_.count(); ++i) {
        const TransferRow& row = table_.at(i);
        if ((frame.keyed || !row.keyed) &&
            (idlest < 0 || row.lastFrameMs < table_.at(idlest).lastFrameMs)) {
            idlest = i;
        }
    }
    if (idlest < 0 || now - table_.at(idlest).lastFrameMs < settings_.evictionMs) {
        noEvictionBeforeMs_[kind] =
            idlest < 0 ? now + std::min(settings_.evictionMs, kLongestEvictionPauseMs)
                       : table_.at(idlest).lastFrameMs + settings_.evictionMs;
        return false;
    }
    removeRow(idlest, GoneRow::Why::EvictedIdle, reply);
    return true;
}

void PlainReceiver::removeRow(int index, GoneRow::Why why, HeaderReply& reply) {
    reply.gone.push_back(GoneRow{table_.at(index), why});
    table_.remove(index);
}

// A new transfer deletes nothing yet: its first piece replaces the earlier file. A header that
// the network repeated or held back, arriving after its file completed, thus leaves that file be.
void PlainReceiver::AddListe(const PlainFrame& frame, HeaderReply& reply) {
    TransferRow row{std::string(frame.origin),
                    std::string(frame.address),
                    frame.port,
                    std::string(frame.file),
                    1,
                    std::string(frame.size),
                    numericValue(frame.size)};
    row.lastFrameMs = frame.now.wallMs;
    row.keyed = frame.keyed;
    // A name too long to be hidden under a staging name arrives under its own, as a plain one.
    // A plain row of an origin that speaks the extension is staged too: a stray plain header must
    // never let its pieces truncate a file the extension verified.
    row.staged =
        (frame.offered || settings_.stagePlain || speaksExtension(frame.origin, frame.now)) &&
        stateName(frame.file).size() <= NAME_MAX;
    if (!table_.append(std::move(row), frame.several)) {
        reply.drop = Drop::TableFull;
        return;
    }
    reply.step = HeaderStep::Started;
    reply.row = table_.count() - 1;
    reply.ack = 1;
}

// A repeated header resumes at the position really reached, and the row's sender becomes its.
void PlainReceiver::resume(int index, const PlainFrame& frame, HeaderReply& reply) {
    TransferRow& row = table_.edit(index);
    row.lastFrameMs = frame.now.wallMs;
    row.address.assign(frame.address);
    row.port = frame.port;
    reply.step = HeaderStep::Resumed;
    reply.row = index;
    reply.ack = row.position;
}

// --- Content --------------------------------------------------------------------------------

PieceWrite PlainReceiver::content(const PlainFrame& frame) const {
    PieceWrite piece;
    piece.row = table_.findOrigin(frame.origin);
    if (piece.row < 0) {
        piece.drop = Drop::NoRow;
        return piece;
    }
    const TransferRow& row = table_.at(piece.row);
    if (row.transfer != 0) {
        // Its pieces name their offset; one that does not could land anywhere.
        piece.drop = Drop::ExtendedRowContent;
    } else if (!fromRowPeer(row, frame)) {
        // Content names no file: from another sender of the same origin it would mix two files.
        piece.drop = Drop::OtherPeerContent;
    } else if (row.position + static_cast<std::int64_t>(frame.content.size()) > kLargestPosition) {
        piece.drop = Drop::PastLargestPosition;
    } else if (row.totalValue == 0) {
        // A size-0 header only asks for the file to start anew: no file arrives in its row, and
        // a piece taken there (its sender took the header's answer for the real header's) would
        // never complete. Unanswered, it makes the sender announce the file again.
        piece.drop = Drop::ResetRowContent;
    } else if (static_cast<double>(row.position - 1) + static_cast<double>(frame.content.size()) >
               row.totalValue) {
        // Such a row never completes: its pieces are another file's, sent after a late header of
        // this one opened the row, or its file grew; unanswered, the sender announces it again.
        piece.drop = Drop::PastAnnouncedSize;
    }
    if (piece.drop != Drop::None) {
        return piece;
    }
    piece.position = row.position;
    piece.next = row.position + static_cast<std::int64_t>(frame.content.size());
    piece.last = row.totalValue == static_cast<double>(piece.next - 1);
    piece.bytes = frame.content;
    return piece;
}

bool PlainReceiver::fromRowPeer(const TransferRow& row, const PlainFrame& frame) {
    return row.port == frame.port && row.address == frame.address;
}

// The position advances only once the piece is safely written.
PieceDone PlainReceiver::written(const PieceWrite& piece, Instant now) {
    PieceDone done;
    done.ack = piece.next;
    if (piece.last) {
        done.finished = table_.at(piece.row);
        arrived(*done.finished);
        table_.remove(piece.row);
    } else {
        table_.setPosition(piece.row, piece.next);
        measureRate(piece.row, piece.next - 1, now);
    }
    return done;
}

// A staging file someone else removed or moved: the file starts again after a pause that grows
// each time, so that a consumer taking hidden files does not make the server loop.
std::int64_t PlainReceiver::disturbed(int index, Instant now) {
    const TransferRow& row = table_.at(index);
    if (disturbed_.size() >= kDisturbedKept) {
        disturbed_.clear();
    }
    Disturbance& seen = disturbed_[row.origin + row.file];
    seen.count = std::min(seen.count + 1, 7);
    const std::int64_t pauseMs = std::int64_t{1000} << (seen.count - 1);
    seen.untilMs = now.steadyMs + pauseMs;
    table_.remove(index);
    return pauseMs;
}

void PlainReceiver::arrived(const TransferRow& row) {
    disturbed_.erase(row.origin + row.file);
}

// --- Shared with the extension --------------------------------------------------------------

// Whether an offer of this origin was accepted lately.
bool PlainReceiver::speaksExtension(std::string_view origin, Instant now) const {
    const auto found = extendedOrigins_.find(origin);
    return found != extendedOrigins_.end() && now.steadyMs - found->second < kSpeaksExtensionMs;
}

void PlainReceiver::extensionSpoken(const std::string& origin, Instant now) {
    if (extendedOrigins_.size() >= kExtendedOriginsKept) {
        std::erase_if(extendedOrigins_, [now](const auto& entry) {
            return now.steadyMs - entry.second >= kSpeaksExtensionMs;
        });
        if (extendedOrigins_.size() >= kExtendedOriginsKept) {
            extendedOrigins_.clear();
        }
    }
    extendedOrigins_[origin] = now.steadyMs;
}

// The window shows each row's rate over the latest second or so.
void PlainReceiver::measureRate(int index, std::int64_t bytes, Instant now) {
    TransferRow& row = table_.edit(index);
    row.lastFrameMs = now.wallMs;
    if (row.rateMarkMs < 0) {
        row.rateMarkMs = now.steadyMs;
        row.rateMarkBytes = bytes;
        return;
    }
    const std::int64_t span = now.steadyMs - row.rateMarkMs;
    if (span < 1000) {
        return;
    }
    row.rateValue =
        static_cast<double>(bytes - row.rateMarkBytes) * 1000.0 / static_cast<double>(span);
    row.rate = rateText(row.rateValue);
    row.rateMarkMs = now.steadyMs;
    row.rateMarkBytes = bytes;
}

void PlainReceiver::connectionGone(const std::string& address, std::uint16_t port) {
    if (goneTcpPeers_.size() >= kDisturbedKept) {
        goneTcpPeers_.clear();
    }
    goneTcpPeers_.insert(address + ' ' + std::to_string(port));
}

std::string dropText(Drop drop, std::int64_t pausedMs) {
    switch (drop) {
    case Drop::None:
        return {};
    case Drop::SecondSender:
        return "header from a second sender of the origin";
    case Drop::ExtendedRowHeader:
        return "plain header for a file that arrives in extended datagrams";
    case Drop::StagingPaused:
        return "header of a file whose staging file was disturbed: it starts again in " +
               std::to_string((pausedMs + 999) / 1000) + " s";
    case Drop::TableFull:
        return "header from a new origin: the transfer table is full";
    case Drop::OriginFull:
        return "header for another file of an origin that has as many under way as it may";
    case Drop::NoRow:
        return "content from an origin without a transfer";
    case Drop::ExtendedRowContent:
        return "plain content for a transfer in extended datagrams";
    case Drop::OtherPeerContent:
        return "plain content from another address than the row's header";
    case Drop::PastLargestPosition:
        return "content past the largest position";
    case Drop::PastAnnouncedSize:
        return "content past the size its header announced";
    case Drop::ResetRowContent:
        return "content for a file announced with size 0";
    }
    return {};
}

} // namespace zelk
