// The extension's datagrams: pieces written at their own offset and answered with what is held,
// whole files checked against the sender's digest before the final answer.

#include "extendedreceiver.h"

#include <algorithm>
#include <cstring>

namespace zelk {

void ExtendedReceiver::loadKeys(const std::vector<ext::KeyLine>& lines,
                                const ext::Key& mintSecret) {
    keys_.load(lines, mintSecret);
}

void ExtendedReceiver::clear() {
    extended_.clear();
    owedAcks_.clear();
}

void ExtendedReceiver::forget(const TransferRow& row) {
    if (row.transfer != 0) {
        extended_.erase(ExtKey{row.transfer, row.origin});
    }
}

ExtendedReceiver::ExtMap::iterator ExtendedReceiver::keylessExtended(std::uint64_t transfer) {
    for (auto it = extended_.lower_bound(ExtKey{transfer, {}});
         it != extended_.end() && it->first.first == transfer; ++it) {
        if (!keys_.keyed(it->second.origin)) {
            return it;
        }
    }
    return extended_.end();
}

// The transfer an extended datagram names: under its session's origin when it came sealed, else
// the one of an origin without a key that holds the identity.
ExtendedReceiver::ExtMap::iterator ExtendedReceiver::extendedOf(std::uint64_t transfer,
                                                                const Context& at) {
    return at.sealedFrom ? extended_.find(*at.sealedFrom) : keylessExtended(transfer);
}

ExtDatagramReply ExtendedReceiver::datagram(std::string_view bytes, const ExtDatagramIn& in) {
    ExtDatagramReply reply;
    Context at{in, bytes.size(), reply, std::nullopt};
    if (!bytes.empty() && bytes[0] == ext::kSealedStart) {
        sealedDatagram(bytes, at);
    } else {
        extendedDatagram(bytes, at);
    }
    return reply;
}

void ExtendedReceiver::extendedDatagram(std::string_view bytes, Context& at) {
    const auto frame = ext::decode(bytes);
    if (!frame) {
        at.reply.drop =
            "extended datagram of " + std::to_string(bytes.size()) + " bytes that fails its checks";
        return;
    }
    // An identity only keyed origins use is answered in sealed datagrams alone: one in clear
    // naming it is someone else's.
    if (!keys_.empty() && keylessExtended(frame->transfer) == extended_.end() &&
        keys_.anyFor(frame->transfer)) {
        at.reply.refused = "extended datagram in clear for an authenticated transfer";
        return;
    }
    clientFrame(*frame, at);
}

void ExtendedReceiver::sealedDatagram(std::string_view bytes, Context& at) {
    const auto head = ext::sealedHead(bytes);
    if (!head) {
        at.reply.refused = "sealed datagram for no authenticated transfer";
        return;
    }
    const auto found = keys_.openSealed(bytes, head->transfer, opened_);
    if (!found) {
        at.reply.refused = "sealed datagram that fails authentication or names no "
                           "authenticated transfer";
        return;
    }
    if (!keys_.find(found->first)->received.take(head->sequence)) {
        at.reply.drop = "sealed datagram seen already (a copy or a replay)";
        return;
    }
    at.sealedFrom = found->first;
    clientFrame(found->second, at);
}

// What a client sends, sealed or not; answers sent to the server are dropped.
void ExtendedReceiver::clientFrame(const ext::Frame& frame, Context& at) {
    switch (frame.kind) {
    case ext::Kind::Data:
        extendedData(frame, at);
        return;
    case ext::Kind::Finish:
        extendedFinish(frame, at);
        return;
    default:
        at.reply.drop = "extended answer sent to the server";
        return;
    }
}

// The transfer a datagram names, with its row; an identity no row holds any longer is answered
// as unknown, so the sender announces its file again at once.
ExtendedReceiver::ExtReceive* ExtendedReceiver::extendedRow(const ext::Frame& frame, int& index,
                                                            const Context& at) {
    const auto found = extendedOf(frame.transfer, at);
    if (found != extended_.end()) {
        index = table_.findTransfer(found->second.origin, frame.transfer);
        if (index >= 0) {
            return &found->second;
        }
        extended_.erase(found);
    }
    return nullptr;
}

// A piece is written at its own offset, so a copy or a late piece lands where it belongs; one
// already held is only answered.
void ExtendedReceiver::extendedData(const ext::Frame& frame, Context& at) {
    int index = -1;
    ExtReceive* state = extendedRow(frame, index, at);
    if (state == nullptr) {
        answerExtended(ext::Kind::Unknown, frame.transfer, 0, at);
        return;
    }
    const auto length = static_cast<std::int64_t>(frame.body.size());
    if (frame.value > state->size - length) {
        at.reply.drop = "extended piece past the announced size";
        return;
    }
    if (!state->written.covers(frame.value, frame.value + length) &&
        !writeData(frame, index, *state, at)) {
        return;
    }
    oweAck(ExtKey{frame.transfer, state->origin}, at);
}

bool ExtendedReceiver::writeData(const ext::Frame& frame, int index, ExtReceive& state,
                                 Context& at) {
    const std::int64_t end = frame.value + static_cast<std::int64_t>(frame.body.size());
    WriteFailure failure;
    if (!disk_.write(index, frame.value, frame.body, failure)) {
        extendedFailed(index, frame.transfer, failure, at);
        return false;
    }
    if (!state.written.add(frame.value, end)) {
        at.reply.drop = "extended piece that would split the file into too many ranges";
        return false;
    }
    state.digest->feed(frame.value, frame.body);
    catchUpDigest(index, state, kDigestStepBytes);
    startWriteback(index, state);
    table_.setPosition(index, state.written.cumulative() + 1);
    plain_.measureRate(index, state.written.bytes(), at.in.now);
    at.reply.moved = true;
    return true;
}

// The final answer is given only for a whole file whose bytes, read back, have the sender's
// digest, and once they are on stable storage: the sender then deletes its copy.
void ExtendedReceiver::extendedFinish(const ext::Frame& frame, Context& at) {
    int index = -1;
    ExtReceive* state = extendedRow(frame, index, at);
    if (state == nullptr) {
        answerFinishAgain(frame, at);
        return;
    }
    if (frame.value != state->size) {
        at.reply.drop = "extended finish for another size";
        return;
    }
    if (state->publishing) {
        return; // its verdict goes once its file is durable
    }
    const ExtKey key{frame.transfer, state->origin};
    if (!state->written.covers(0, state->size)) {
        answerWritten(key, *state, at);
        return;
    }
    WriteFailure failure;
    if (!disk_.open(index, true, failure)) {
        extendedFailed(index, frame.transfer, failure, at);
        return;
    }
    if (!catchUpDigest(index, *state, kDigestAtFinishBytes)) {
        digestMismatch(*state, index, at); // what was written cannot be read back
        return;
    }
    if (state->digest->done() < state->size) {
        answerWritten(key, *state, at); // hashed on at the sender's next finish
        return;
    }
    const ext::Digest mine = state->digest->finish();
    if (std::memcmp(mine.data(), frame.body.data(), mine.size()) != 0) {
        digestMismatch(*state, index, at);
        return;
    }
    state->digest = std::make_unique<ext::RunningDigest>(); // spent; its value is kept below
    extendedVerified(frame.transfer, index, mine, at);
}

void ExtendedReceiver::digestMismatch(ExtReceive& state, int index, Context& at) {
    const TransferRow& row = table_.at(index);
    at.reply.mismatch = row;
    const std::uint64_t transfer = row.transfer;
    state.written.clear();
    state.digest->restart();
    state.keptAt = 0;
    state.writebackFrom = 0;
    ++state.epoch;
    disk_.removeRecord(row);
    disk_.begin(row);
    table_.edit(index).stagedInode = 0; // the next piece makes the file anew
    table_.edit(index).stagedBorn = 0;
    table_.setPosition(index, 1);
    answerExtended(ext::Kind::Mismatch, transfer, 0, at);
}

void ExtendedReceiver::extendedVerified(std::uint64_t transfer, int index,
                                        const ext::Digest& digest, Context& at) {
    WriteFailure failure;
    if (!disk_.open(index, true, failure)) {
        extendedFailed(index, transfer, failure, at);
        return;
    }
    const TransferRow& row = table_.at(index);
    const ExtKey key{transfer, row.origin};
    ExtReceive& state = extended_.at(key);
    const Publishing done{row, state.size, state.keyId, digest, at.sealedFrom};
    switch (disk_.publish(index, failure)) {
    case ExtendedDisk::Publish::Failed:
        extendedFailed(index, transfer, failure, at);
        return;
    case ExtendedDisk::Publish::Pending:
        state.publishing = true;
        commits_.insert_or_assign(key, done);
        return;
    case ExtendedDisk::Publish::Done:
        settleVerified(done, at);
        return;
    }
}

// The row may have gone while its file was made durable: the file is held all the same, and a
// repeated finish finds it among those verified.
void ExtendedReceiver::settleVerified(const Publishing& done, Context& at) {
    const TransferRow& row = done.row;
    const ExtKey key{row.transfer, row.origin};
    rememberVerified(done, at);
    plain_.arrived(row);
    extended_.erase(key);
    if (const int index = table_.findTransfer(row.origin, row.transfer); index >= 0) {
        table_.remove(index);
    }
    at.reply.verified = ExtDatagramReply::Verified{row, done.size, ext::digestHex(done.digest)};
    if (!at.sealedFrom || keys_.find(*at.sealedFrom) != nullptr) {
        answerExtended(ext::Kind::Verified, row.transfer, done.size, at);
    }
}

ExtDatagramReply ExtendedReceiver::published(const ExtKey& transfer, bool done,
                                             const WriteFailure& failure, const ExtDatagramIn& in) {
    ExtDatagramReply reply;
    const auto found = commits_.find(transfer);
    if (found == commits_.end()) {
        return reply;
    }
    const Publishing publishing = std::move(found->second);
    commits_.erase(found);
    Context at{in, 0, reply, publishing.sealedFrom};
    if (const auto state = extended_.find(transfer); state != extended_.end()) {
        state->second.publishing = false;
    }
    if (done) {
        settleVerified(publishing, at);
    } else if (const int index = table_.findTransfer(transfer.second, transfer.first);
               index >= 0 && extended_.count(transfer) != 0) {
        extendedFailed(index, transfer.first, failure, at);
    }
    return reply;
}

bool ExtendedReceiver::publishingFile(std::string_view origin, std::string_view file) const {
    return std::ranges::any_of(commits_, [&](const auto& entry) {
        return entry.second.row.origin == origin && entry.second.row.file == file;
    });
}

// A staging file someone disturbed starts the transfer again from nothing (the sender, answered
// as for an unknown transfer, announces it anew); any other failure leaves the datagram
// unanswered, so the sender asks again.
void ExtendedReceiver::extendedFailed(int index, std::uint64_t transfer,
                                      const WriteFailure& failure, Context& at) {
    const TransferRow row = table_.at(index);
    at.reply.failed = ExtDatagramReply::Failed{row, failure, -1};
    if (!failure.disturbed) {
        return;
    }
    at.reply.failed->pauseMs = plain_.disturbed(index, at.in.now);
    disk_.removeRecord(row);
    extended_.erase(ExtKey{row.transfer, row.origin});
    disk_.begin(row);
    answerExtended(ext::Kind::Unknown, transfer, 0, at);
}

// False when the written bytes cannot be read back.
bool ExtendedReceiver::catchUpDigest(int index, ExtReceive& state, std::int64_t budget) {
    const std::int64_t upTo = state.written.cumulative();
    if (state.digest->done() >= upTo) {
        return true;
    }
    WriteFailure failure;
    if (!disk_.open(index, false, failure)) {
        return false;
    }
    return state.digest->catchUp(upTo, budget,
                                 [this, index](char* into, std::size_t length, std::int64_t at) {
                                     return disk_.read(index, into, length, at);
                                 });
}

void ExtendedReceiver::startWriteback(int index, ExtReceive& state) {
    const std::int64_t upTo = state.written.cumulative();
    if (upTo - state.writebackFrom < kWritebackStepBytes) {
        return;
    }
    if (!disk_.writeback(index, state.writebackFrom, upTo)) {
        return;
    }
    state.writebackFrom = upTo;
    if (table_.at(index).staged && upTo - state.keptAt >= kRecordStepBytes) {
        keepProgress(index, state);
    }
}

// The record beside the staging file claims only bytes already on stable storage: the ranges
// written so far are taken now, synced away from the caller, and recorded once that is done.
void ExtendedReceiver::keepProgress(int index, ExtReceive& state) {
    if (state.syncing) {
        return;
    }
    const TransferRow& row = table_.at(index);
    const StagingState record{row.transfer,
                              row.origin,
                              row.file,
                              state.size,
                              FileIdentity{row.stagedInode, row.stagedBorn},
                              state.written.list(),
                              state.keyId};
    state.syncing = disk_.syncThenRecord(index, record, state.written.cumulative(), state.epoch);
}

std::optional<std::string> ExtendedReceiver::recordSynced(const StagingState& record,
                                                          std::int64_t claimed, std::uint64_t epoch,
                                                          bool synced) {
    const auto found = extended_.find(ExtKey{record.transfer, record.origin});
    if (found == extended_.end()) {
        return std::nullopt; // verified, given up or started again meanwhile: no record is owed
    }
    ExtReceive& state = found->second;
    state.syncing = false;
    const int index = table_.findTransfer(state.origin, record.transfer);
    if (state.epoch != epoch || index < 0 ||
        FileIdentity{table_.at(index).stagedInode, table_.at(index).stagedBorn} !=
            record.identity) {
        return std::nullopt;
    }
    std::string why = "cannot sync " + stagingName(record.file);
    if (synced && disk_.writeRecord(record, why)) {
        state.keptAt = claimed;
        return std::nullopt;
    }
    return why;
}

// A finish for a transfer no row holds: verified already (its answer lost) when the origin,
// the key, the size and the digest all match; unknown otherwise.
void ExtendedReceiver::answerFinishAgain(const ext::Frame& frame, Context& at) {
    const VerifiedEntry* found = nullptr;
    if (at.sealedFrom.has_value()) {
        const ext::Session* session = keys_.find(*at.sealedFrom);
        const std::string keyId(reinterpret_cast<const char*>(session->keyId.data()),
                                session->keyId.size());
        found = verifiedFor({at.sealedFrom->second, frame.transfer, frame.value, keyId}, at.in.now);
    } else {
        found = verifiedKeyless(frame.transfer, frame.value, at.in.now);
    }
    const bool verified = found != nullptr && frame.body.size() == found->digest.size() &&
                          std::equal(found->digest.begin(), found->digest.end(),
                                     reinterpret_cast<const unsigned char*>(frame.body.data()));
    answerExtended(verified ? ext::Kind::Verified : ext::Kind::Unknown, frame.transfer,
                   verified ? frame.value : 0, at);
}

// A datagram in clear names no origin: only an origin without a key may be answered for it.
const VerifiedEntry* ExtendedReceiver::verifiedKeyless(std::uint64_t transfer, std::int64_t size,
                                                       Instant now) {
    for (const std::string& origin : verified_.originsOf(transfer)) {
        if (!keys_.keyed(origin)) {
            return verifiedFor({origin, transfer, size, {}}, now);
        }
    }
    return nullptr;
}

// The file under that name must still be the one verified: replaced or written since, it is
// another file, and the sender must send its own again.
const VerifiedEntry* ExtendedReceiver::verifiedFor(const VerifiedAsk& ask, Instant now) {
    const VerifiedEntry* found = verified_.find(ask, now.wallMs);
    if (found == nullptr) {
        return nullptr;
    }
    const auto kept = disk_.kept(found->origin, found->file);
    const bool same = kept && kept->inode == found->inode && kept->changedNs == found->changedNs;
    return same ? found : nullptr;
}

void ExtendedReceiver::rememberVerified(const Publishing& done, Context& at) {
    const TransferRow& row = done.row;
    const auto kept = disk_.kept(row.origin, row.file);
    if (!kept) {
        return;
    }
    verified_.add(VerifiedEntry{row.origin, row.transfer, done.size, done.keyId, done.digest,
                                row.file, kept->inode, kept->changedNs, at.in.now.wallMs});
    keepVerified(at);
}

// The list is written at once, unless it was a moment ago: then within the second, so that a
// stream of small files does not write it for each.
void ExtendedReceiver::keepVerified(Context& at) {
    verifiedDirty_ = true;
    const std::int64_t since = at.in.now.steadyMs - verifiedSavedMs_;
    if (since >= kVerifiedSaveMs || verifiedSavedMs_ == 0) {
        saveVerified(at.in.now);
    } else {
        at.reply.saveInMs = kVerifiedSaveMs - since;
    }
}

void ExtendedReceiver::saveVerified(Instant now) {
    if (!verifiedDirty_) {
        return;
    }
    verifiedDirty_ = false;
    verifiedSavedMs_ = std::max<std::int64_t>(now.steadyMs, 1);
    disk_.saveVerified(verified_);
}

// Answers go in the order their datagrams came: the Acks owed so far go first.
void ExtendedReceiver::answerExtended(ext::Kind kind, std::uint64_t transfer, std::int64_t value,
                                      Context& at) {
    sendOwedAcks(at.reply.answers);
    ExtAnswer answer{{}, at.in.peer};
    ext::encode(kind, transfer, value, {}, answer.bytes);
    if (at.sealedFrom.has_value()) {
        keys_.seal(*at.sealedFrom, answer.bytes);
    }
    at.reply.answers.push_back(std::move(answer));
}

// An Ack in clear answers a sender whose address nothing proved: it is at most three times the
// datagram that drew it. A sealed one answers a proven key.
void ExtendedReceiver::answerWritten(const ExtKey& transfer, const ExtReceive& state, Context& at) {
    sendOwedAcks(at.reply.answers);
    const bool sealed = at.sealedFrom.has_value();
    const auto ranges = state.written.beyondCumulative(sealed ? ext::kMostRangesPerAnswer
                                                              : ext::rangesWithin(at.bytes));
    ExtAnswer answer{{}, at.in.peer};
    ext::encodeAck(transfer.first, state.written.cumulative(), ranges, answer.bytes);
    if (sealed) {
        keys_.seal(transfer, answer.bytes);
    }
    at.reply.answers.push_back(std::move(answer));
}

// Outside a batch of datagrams there is nothing to wait for.
void ExtendedReceiver::oweAck(const ExtKey& transfer, Context& at) {
    if (!at.in.inBatch) {
        if (const auto found = extended_.find(transfer); found != extended_.end()) {
            answerWritten(transfer, found->second, at);
        }
        return;
    }
    for (OwedAck& owed : owedAcks_) {
        if (owed.transfer == transfer) {
            owed.to = at.in.peer;
            owed.drawnBy = std::max(owed.drawnBy, at.bytes);
            owed.sealed = at.sealedFrom.has_value();
            return;
        }
    }
    owedAcks_.push_back(OwedAck{transfer, at.in.peer, at.bytes, at.sealedFrom.has_value()});
}

std::vector<ExtAnswer> ExtendedReceiver::batchEnd() {
    std::vector<ExtAnswer> answers;
    sendOwedAcks(answers);
    return answers;
}

void ExtendedReceiver::sendOwedAcks(std::vector<ExtAnswer>& answers) {
    if (owedAcks_.empty()) {
        return;
    }
    const std::vector<OwedAck> owed = std::move(owedAcks_);
    owedAcks_.clear();
    for (const OwedAck& ack : owed) {
        const auto found = extended_.find(ack.transfer);
        if (found == extended_.end()) {
            continue; // ended within the batch: its sender hears so at its next datagram
        }
        const auto ranges = found->second.written.beyondCumulative(
            ack.sealed ? ext::kMostRangesPerAnswer : ext::rangesWithin(ack.drawnBy));
        ExtAnswer answer{{}, ack.to};
        ext::encodeAck(ack.transfer.first, found->second.written.cumulative(), ranges,
                       answer.bytes);
        if (ack.sealed) {
            keys_.seal(ack.transfer, answer.bytes);
        }
        answers.push_back(std::move(answer));
    }
}

} // namespace zelk
