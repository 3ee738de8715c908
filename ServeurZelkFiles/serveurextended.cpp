// The server's side of the extension: offered headers accepted, extended datagrams written at
// their own offset and answered with what is held, whole files checked against the sender's
// digest before the final answer.

#include "serveurengine.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zelk {
namespace {

// Hashing reads back what was written; bounded per datagram so that one transfer catching up
// (a resume, say) never holds the others up for long.
constexpr std::int64_t kDigestStepBytes = 8 << 20;
constexpr std::int64_t kDigestAtFinishBytes = 256 << 20;
constexpr std::size_t kVerifiedKept = 256;
// Written bytes are handed to the disk in steps of this many, without waiting, so that the sync
// before the final answer has little left to do and the event thread is not held for seconds.
constexpr std::int64_t kWritebackStepBytes = 16 << 20;

std::string withoutBlanks(std::string_view origin) {
    const std::size_t last = origin.find_last_not_of(' ');
    return std::string(last == std::string_view::npos ? std::string_view{}
                                                      : origin.substr(0, last + 1));
}

std::string transferName(std::string_view origin, std::string_view file) {
    return "origin \"" + withoutBlanks(origin) + "\" file \"" + std::string(file) + '"';
}

std::int64_t positionValue(std::string_view text) {
    std::int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

} // namespace

// An offer is taken only over UDP (TCP intake stays plain), for a file with bytes, whose plain
// size field says what the offer says, and under an identity no other origin uses.
std::optional<ext::Offer> ServeurEngine::acceptableOffer() const {
    if (modeTcp || !extensionWanted(cfg_.cfgExtension)) {
        return std::nullopt;
    }
    const auto payload = tamponRecu.substr(static_cast<std::size_t>(check_.posDebutDonnees),
                                           static_cast<std::size_t>(check_.longDonnees));
    const auto offer = ext::findOffer(payload);
    if (!offer || offer->size <= 0 || tailleTotale != ext::plainSizeText(offer->size)) {
        return std::nullopt;
    }
    const auto taken = extended_.find(offer->transfer);
    if (taken != extended_.end() && taken->second.origin != nomOrigine) {
        return std::nullopt;
    }
    return offer;
}

// A new row for an offered header: nothing written yet.
void ServeurEngine::startExtended(int index) {
    if (!offer_) {
        return;
    }
    TransferRow& row = table_.edit(index);
    row.transfer = offer_->transfer;
    ExtReceive state;
    state.origin = row.origin;
    state.size = offer_->size;
    extended_.insert_or_assign(offer_->transfer, std::move(state));
    accept_ = ext::Accept{offer_->transfer, 0};
    traceAccepted(row, 0);
}

void ServeurEngine::traceAccepted(const TransferRow& row, std::int64_t held) {
    if (trace_.enabled()) {
        char id[20];
        std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(row.transfer));
        trace_.write("extended protocol", transferName(row.origin, row.file) + ", transfer " + id +
                                              ": the offer is accepted, " +
                                              std::to_string(held) + " bytes held");
    }
}

// A header that resumes the row: an offered one carries the row on under its new identity (a
// client that restarted offers another), from what is written; a plain one makes it plain again,
// from the first byte not written.
void ServeurEngine::adoptExtended(int index) {
    TransferRow& row = table_.edit(index);
    if (!offer_) {
        forgetExtended(row);
        return;
    }
    ExtReceive state;
    const auto held = extended_.find(row.transfer);
    if (row.transfer != 0 && held != extended_.end()) {
        state = std::move(held->second);
        extended_.erase(held);
    } else {
        state.origin = row.origin;
        state.size = offer_->size;
        state.written.add(0, positionValue(row.position) - 1);
    }
    row.transfer = offer_->transfer;
    accept_ = ext::Accept{offer_->transfer, state.written.cumulative()};
    traceAccepted(row, state.written.cumulative());
    extended_.insert_or_assign(offer_->transfer, std::move(state));
}

void ServeurEngine::forgetExtended(TransferRow& row) {
    if (row.transfer == 0) {
        return;
    }
    const auto held = extended_.find(row.transfer);
    if (held != extended_.end()) {
        row.position = std::to_string(held->second.written.cumulative() + 1);
        extended_.erase(held);
    }
    row.transfer = 0;
}

void ServeurEngine::extendedDatagram(std::string_view bytes) {
    const auto frame = ext::decode(bytes);
    if (!frame) {
        drop("extended datagram of " + std::to_string(bytes.size()) + " bytes that fails its checks");
        return;
    }
    switch (frame->kind) {
    case ext::Kind::Data:
        extendedData(*frame);
        return;
    case ext::Kind::Finish:
        extendedFinish(*frame);
        return;
    default:
        drop("extended answer sent to the server");
        return;
    }
}

// The transfer a datagram names, with its row; an identity no row holds any longer is answered
// as unknown, so the sender announces its file again at once.
ServeurEngine::ExtReceive* ServeurEngine::extendedRow(const ext::Frame& frame, int& index) {
    const auto found = extended_.find(frame.transfer);
    if (found != extended_.end()) {
        index = table_.findOrigin(found->second.origin);
        if (index >= 0 && table_.at(index).transfer == frame.transfer) {
            return &found->second;
        }
        extended_.erase(found);
    }
    return nullptr;
}

// A piece is written at its own offset, so a copy or a late piece lands where it belongs; one
// already held is only answered.
void ServeurEngine::extendedData(const ext::Frame& frame) {
    int index = -1;
    ExtReceive* state = extendedRow(frame, index);
    if (state == nullptr) {
        answerExtended(ext::Kind::Unknown, frame.transfer, 0);
        return;
    }
    const auto length = static_cast<std::int64_t>(frame.body.size());
    if (frame.value > state->size - length) {
        drop("extended piece past the announced size");
        return;
    }
    const std::int64_t end = frame.value + length;
    if (!state->written.covers(frame.value, end)) {
        const TransferRow& row = table_.at(index);
        WriteFailure failure;
        const int fd = fileFor(row, failure);
        if (fd < 0 || !writer_.writeAt(fd, frame.value + 1, frame.body, failure)) {
            pieceFailed(row, failure);
            return;
        }
        if (!state->written.add(frame.value, end)) {
            drop("extended piece that would split the file into too many ranges");
            return;
        }
        state->digest->feed(frame.value, frame.body);
        catchUpDigest(row, *state, kDigestStepBytes);
        startWriteback(row, *state);
        table_.setPosition(index, std::to_string(state->written.cumulative() + 1));
        measureRate(index, state->written.bytes());
        emit tableChanged();
    }
    answerWritten(frame.transfer, *state);
}

// The final answer is given only for a whole file whose bytes, read back, have the sender's
// digest, and once they are on stable storage: the sender then deletes its copy.
void ServeurEngine::extendedFinish(const ext::Frame& frame) {
    int index = -1;
    ExtReceive* state = extendedRow(frame, index);
    if (state == nullptr) {
        for (const auto& [transfer, size] : verified_) {
            if (transfer == frame.transfer && size == frame.value) {
                answerExtended(ext::Kind::Verified, frame.transfer, size);
                return;
            }
        }
        answerExtended(ext::Kind::Unknown, frame.transfer, 0);
        return;
    }
    if (frame.value != state->size) {
        drop("extended finish for another size");
        return;
    }
    const TransferRow& row = table_.at(index);
    if (!state->written.covers(0, state->size)) {
        answerWritten(frame.transfer, *state);
        return;
    }
    if (!catchUpDigest(row, *state, kDigestAtFinishBytes)) {
        digestMismatch(*state, index); // what was written cannot be read back
        return;
    }
    if (state->digest->done() < state->size) {
        answerWritten(frame.transfer, *state); // hashed on at the sender's next finish
        return;
    }
    const ext::Digest mine = state->digest->finish();
    if (std::memcmp(mine.data(), frame.body.data(), mine.size()) != 0) {
        digestMismatch(*state, index);
        return;
    }
    extendedVerified(frame.transfer, index);
}

void ServeurEngine::digestMismatch(ExtReceive& state, int index) {
    const TransferRow& row = table_.at(index);
    if (trace_.enabled()) {
        trace_.write("file not verified", transferName(row.origin, row.file) +
                                              ": its bytes do not have the sender's digest; "
                                              "the copy is discarded and the file sent again");
    }
    const std::uint64_t transfer = row.transfer;
    state.written.clear();
    state.digest->restart();
    writer_.begin(row.origin);
    table_.setPosition(index, "1");
    emit tableChanged();
    answerExtended(ext::Kind::Mismatch, transfer, 0);
}

void ServeurEngine::extendedVerified(std::uint64_t transfer, int index) {
    const TransferRow& row = table_.at(index);
    WriteFailure failure;
    if (fileFor(row, failure) < 0 || !writer_.finish(row.origin, failure)) {
        pieceFailed(row, failure); // no final answer: the sender asks again
        return;
    }
    const std::int64_t size = extended_.at(transfer).size;
    if (trace_.enabled()) {
        trace_.write("file finished", transferName(row.origin, row.file) + ", " +
                                          transferSummary(size, elapsedMs(row.origin)) +
                                          ", verified (SHA-256 as sent), extended protocol, "
                                          "from " +
                                          peerText());
        startedAt_.erase(row.origin);
    }
    extended_.erase(transfer);
    table_.remove(index);
    emit tableChanged();
    verified_.emplace_back(transfer, size);
    if (verified_.size() > kVerifiedKept) {
        verified_.pop_front();
    }
    answerExtended(ext::Kind::Verified, transfer, size);
}

void ServeurEngine::startWriteback(const TransferRow& row, ExtReceive& state) {
    const std::int64_t upTo = state.written.cumulative();
    if (upTo - state.writebackFrom < kWritebackStepBytes) {
        return;
    }
    const int fd = writer_.keptFor(row.origin, row.file);
    if (fd >= 0) {
        ::sync_file_range(fd, state.writebackFrom, upTo - state.writebackFrom,
                          SYNC_FILE_RANGE_WRITE);
    }
    state.writebackFrom = upTo;
}

// A header offered again for a transfer verified lately: its final answer was lost and the
// sender, hearing nothing, announced the file again. The answer says every byte is held, and the
// sender's finish then gets its final answer again; no new transfer starts.
bool ServeurEngine::answerVerifiedAgain() {
    if (!offer_) {
        return false;
    }
    for (const auto& [transfer, size] : verified_) {
        if (transfer == offer_->transfer && size == offer_->size) {
            accept_ = ext::Accept{transfer, size};
            EnvoieAck(std::to_string(size + 1));
            return true;
        }
    }
    return false;
}

// False when the written bytes cannot be read back.
bool ServeurEngine::catchUpDigest(const TransferRow& row, ExtReceive& state, std::int64_t budget) {
    const std::int64_t upTo = state.written.cumulative();
    if (state.digest->done() >= upTo) {
        return true;
    }
    WriteFailure failure;
    const int fd = fileFor(row, failure);
    if (fd < 0) {
        return false;
    }
    return state.digest->catchUp(upTo, budget, [fd](char* into, std::size_t length,
                                                    std::int64_t offset) {
        return static_cast<long>(::pread(fd, into, length, static_cast<off_t>(offset)));
    });
}

void ServeurEngine::answerExtended(ext::Kind kind, std::uint64_t transfer, std::int64_t value) {
    ext::encode(kind, transfer, value, {}, extAnswer_);
    udpSend.reply(extAnswer_);
}

void ServeurEngine::answerWritten(std::uint64_t transfer, const ExtReceive& state) {
    const auto ranges = state.written.beyondCumulative(ext::kMostRangesPerAnswer);
    ext::encodeAck(transfer, state.written.cumulative(), ranges, extAnswer_);
    udpSend.reply(extAnswer_);
}

// The open file of the row's transfer, opened (created when missing) when it is not.
int ServeurEngine::fileFor(const TransferRow& row, WriteFailure& failure) {
    if (!holdReceiveFolder(failure)) {
        return -1;
    }
    int fd = writer_.keptFor(row.origin, row.file);
    if (fd < 0) {
        fd = writer_.open(row.origin, withoutBlanks(row.origin), row.file, failure);
        if (fd >= 0 && !idleFiles_.isActive()) {
            idleFiles_.start();
        }
    }
    return fd;
}

// The window shows each row's rate over the latest second or so.
void ServeurEngine::measureRate(int index, std::int64_t bytes) {
    TransferRow& row = table_.edit(index);
    const std::int64_t now = clock_.elapsed();
    if (row.rateMarkMs < 0) {
        row.rateMarkMs = now;
        row.rateMarkBytes = bytes;
        return;
    }
    const std::int64_t span = now - row.rateMarkMs;
    if (span < 1000) {
        return;
    }
    row.rate = rateText(static_cast<double>(bytes - row.rateMarkBytes) * 1000.0 /
                        static_cast<double>(span));
    row.rateMarkMs = now;
    row.rateMarkBytes = bytes;
}

} // namespace zelk
