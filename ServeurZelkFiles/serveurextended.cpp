// The server's side of the extension: offered headers accepted, extended datagrams written at
// their own offset and answered with what is held, whole files checked against the sender's
// digest before the final answer.

#include "serveurengine.h"

#include <QDateTime>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

// Hashing reads back what was written; bounded per datagram so that one transfer catching up
// (a resume, say) never holds the others up for long.
constexpr std::int64_t kDigestStepBytes = 8 << 20;
constexpr std::int64_t kDigestAtFinishBytes = 256 << 20;
// The list of verified transfers is written at most this often.
constexpr std::int64_t kVerifiedSaveMs = 1000;
// Written bytes are handed to the disk in steps of this many, without waiting, so that the sync
// before the final answer has little left to do and the event thread is not held for seconds.
constexpr std::int64_t kWritebackStepBytes = 4 << 20;
// A staging file's record is renewed in steps of this many: a restart sends again at most about
// this much and a window. Each renewal first syncs what it claims, on a thread of its own.
constexpr std::int64_t kRecordStepBytes = 4 << 20;

std::string withoutBlanks(std::string_view origin) {
    const std::size_t last = origin.find_last_not_of(' ');
    return std::string(last == std::string_view::npos ? std::string_view{}
                                                      : origin.substr(0, last + 1));
}

std::string transferName(std::string_view origin, std::string_view file) {
    return "origin \"" + withoutBlanks(origin) + "\" file \"" + std::string(file) + '"';
}

std::string identityText(std::uint64_t transfer) {
    char id[20];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(transfer));
    return id;
}

std::int64_t changeTimeNs(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

} // namespace

// An offer is taken only over UDP (TCP intake stays plain), for a file with bytes, whose plain
// size field says what the offer says, and under an identity no other origin uses.
std::optional<ext::Offer> ServeurEngine::acceptableOffer(const HeaderCall& call) {
    if (modeTcp || !extensionWanted(cfg_.cfgExtension)) {
        return std::nullopt;
    }
    const auto payload = tamponRecu.substr(static_cast<std::size_t>(check_.posDebutDonnees),
                                           static_cast<std::size_t>(check_.longDonnees));
    const auto offer = ext::findOffer(payload);
    if (!offer || offer->size <= 0 || call.tailleTotale != ext::plainSizeText(offer->size)) {
        return std::nullopt;
    }
    // Datagrams in clear name no origin: among origins without a key, an identity is one's.
    const auto taken = keylessExtended(offer->transfer);
    if (taken != extended_.end() && taken->second.origin != call.nomOrigine) {
        return std::nullopt;
    }
    return offer;
}

ServeurEngine::ExtMap::iterator ServeurEngine::keylessExtended(std::uint64_t transfer) {
    for (auto it = extended_.lower_bound(ExtKey{transfer, {}});
         it != extended_.end() && it->first.first == transfer; ++it) {
        if (!keyedOrigin(it->second.origin)) {
            return it;
        }
    }
    return extended_.end();
}

ServeurEngine::ExtMap::iterator ServeurEngine::extendedOf(std::uint64_t transfer) {
    return sealedFrom_ ? extended_.find(*sealedFrom_) : keylessExtended(transfer);
}

// A new row for an offered header: nothing written yet, unless an earlier run of the server left
// this file's staging file and its record.
std::int64_t ServeurEngine::startExtended(int index, HeaderCall& call) {
    if (!call.offer) {
        return 1;
    }
    const ext::Offer& offer = *call.offer;
    table_.edit(index).transfer = offer.transfer;
    core_.extensionSpoken(call.nomOrigine, now());
    ExtReceive state;
    state.origin = table_.at(index).origin;
    state.size = offer.size;
    state.keyId = provingKeyId();
    const std::int64_t held = resumeFromDisk(index, state) ? state.written.cumulative() : 0;
    table_.setPosition(index, held + 1);
    extended_.insert_or_assign(ExtKey{offer.transfer, state.origin}, std::move(state));
    call.accept = ext::Accept{offer.transfer, held};
    traceAccepted(table_.at(index), held);
    return held + 1;
}

// Only what the record claims is taken, and only when the staging file is the one it describes
// and long enough: the record is written after the bytes it claims were synced. The digest is
// taken again by reading them back; what the record does not claim is simply sent again.
bool ServeurEngine::resumeFromDisk(int index, ExtReceive& state) {
    TransferRow& row = table_.edit(index);
    const int folderFd = originFolder(row.origin);
    if (folderFd < 0) {
        return false;
    }
    const auto found = readState(folderFd, row.file);
    struct stat st {};
    const bool usable =
        found && found->origin == row.origin && found->file == row.file &&
        found->size == state.size && found->keyId == state.keyId &&
        identityAt(folderFd, stagingName(row.file)) == found->identity &&
        ::fstatat(folderFd, stagingName(row.file).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (found->ranges.empty() || st.st_size >= found->ranges.back().end);
    if (!usable) {
        removeState(folderFd, row.file); // of another file: the staging file is replaced
    }
    ::close(folderFd);
    if (!usable) {
        return false;
    }
    for (const ext::Range& range : found->ranges) {
        state.written.add(range.start, range.end);
    }
    state.keptAt = state.written.cumulative();
    state.writebackFrom = state.keptAt;
    row.resumed = true;
    row.stagedInode = found->identity.inode;
    row.stagedBorn = found->identity.born;
    writer_.adopt(row.origin);
    traceResumed(row, *found);
    return true;
}

void ServeurEngine::traceResumed(const TransferRow& row, const StagingState& found) {
    if (trace_.enabled()) {
        std::int64_t bytes = 0;
        for (const ext::Range& range : found.ranges) {
            bytes += range.end - range.start;
        }
        trace_.write("file resumed after a restart",
                     transferName(row.origin, row.file) + ": " + std::to_string(bytes) +
                         " bytes in " + std::to_string(found.ranges.size()) +
                         " ranges on disk in \"" + stagingName(row.file) +
                         "\", written under transfer " + identityText(found.transfer) +
                         "; their digest is read back");
    }
}

void ServeurEngine::traceAccepted(const TransferRow& row, std::int64_t held) {
    if (trace_.enabled()) {
        trace_.write("extended protocol", transferName(row.origin, row.file) + ", transfer " +
                                              identityText(row.transfer) +
                                              ": the offer is accepted, " + std::to_string(held) +
                                              " bytes held");
    }
}

// A header that resumes the row: an offered one carries the row on under its new identity (a
// client that restarted offers another), from what is written; a plain one makes it plain again,
// from the first byte not written.
void ServeurEngine::adoptExtended(int index, HeaderCall& call) {
    TransferRow& row = table_.edit(index);
    if (!call.offer) {
        forgetExtended(row);
        return;
    }
    ExtReceive state;
    const auto held = extended_.find(ExtKey{row.transfer, row.origin});
    if (row.transfer != 0 && held != extended_.end()) {
        state = std::move(held->second);
        extended_.erase(held);
    } else {
        state.origin = row.origin;
        state.size = call.offer->size;
        state.keyId = provingKeyId();
        state.written.add(0, row.position - 1);
    }
    row.transfer = call.offer->transfer;
    core_.extensionSpoken(call.nomOrigine, now());
    state.syncing = false; // a sync under way reports under the old identity, which is gone
    call.accept = ext::Accept{call.offer->transfer, state.written.cumulative()};
    traceAccepted(row, state.written.cumulative());
    extended_.insert_or_assign(ExtKey{call.offer->transfer, row.origin}, std::move(state));
}

void ServeurEngine::forgetExtended(TransferRow& row) {
    if (row.transfer == 0) {
        return;
    }
    const auto held = extended_.find(ExtKey{row.transfer, row.origin});
    if (held != extended_.end()) {
        row.position = held->second.written.cumulative() + 1;
        extended_.erase(held);
    }
    row.transfer = 0;
}

void ServeurEngine::extendedDatagram(std::string_view bytes) {
    const auto frame = ext::decode(bytes);
    if (!frame) {
        drop("extended datagram of " + std::to_string(bytes.size()) +
             " bytes that fails its checks");
        return;
    }
    sealedFrom_.reset();
    // An identity only keyed origins use is answered in sealed datagrams alone: one in clear
    // naming it is someone else's.
    if (!keys_.empty() && keylessExtended(frame->transfer) == extended_.end()) {
        const auto session = sessions_.lower_bound(ExtKey{frame->transfer, {}});
        if (session != sessions_.end() && session->first.first == frame->transfer) {
            authFailed("extended datagram in clear for an authenticated transfer");
            return;
        }
    }
    clientFrame(*frame);
}

// What a client sends, sealed or not; answers sent to the server are dropped.
void ServeurEngine::clientFrame(const ext::Frame& frame) {
    switch (frame.kind) {
    case ext::Kind::Data:
        extendedData(frame);
        return;
    case ext::Kind::Finish:
        extendedFinish(frame);
        return;
    default:
        drop("extended answer sent to the server");
        return;
    }
}

// The transfer a datagram names, with its row; an identity no row holds any longer is answered
// as unknown, so the sender announces its file again at once.
ServeurEngine::ExtReceive* ServeurEngine::extendedRow(const ext::Frame& frame, int& index) {
    const auto found = extendedOf(frame.transfer);
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
        WriteFailure failure;
        const int fd = fileOf(index, failure);
        if (fd < 0 || !writer_.writeAt(fd, frame.value + 1, frame.body, failure)) {
            extendedFailed(index, frame.transfer, failure);
            return;
        }
        if (!state->written.add(frame.value, end)) {
            drop("extended piece that would split the file into too many ranges");
            return;
        }
        state->digest->feed(frame.value, frame.body);
        catchUpDigest(index, *state, kDigestStepBytes);
        startWriteback(index, *state);
        table_.setPosition(index, state->written.cumulative() + 1);
        core_.measureRate(index, state->written.bytes(), now());
        positionMoved();
    }
    oweAck(ExtKey{frame.transfer, state->origin}, datagramBytes_);
}

// The final answer is given only for a whole file whose bytes, read back, have the sender's
// digest, and once they are on stable storage: the sender then deletes its copy.
void ServeurEngine::extendedFinish(const ext::Frame& frame) {
    int index = -1;
    ExtReceive* state = extendedRow(frame, index);
    if (state == nullptr) {
        answerFinishAgain(frame);
        return;
    }
    if (frame.value != state->size) {
        drop("extended finish for another size");
        return;
    }
    const ExtKey key{frame.transfer, state->origin};
    if (!state->written.covers(0, state->size)) {
        answerWritten(key, *state, datagramBytes_);
        return;
    }
    WriteFailure failure;
    if (fileOf(index, failure, true) < 0) {
        extendedFailed(index, frame.transfer, failure);
        return;
    }
    if (!catchUpDigest(index, *state, kDigestAtFinishBytes)) {
        digestMismatch(*state, index); // what was written cannot be read back
        return;
    }
    if (state->digest->done() < state->size) {
        answerWritten(key, *state, datagramBytes_); // hashed on at the sender's next finish
        return;
    }
    const ext::Digest mine = state->digest->finish();
    if (std::memcmp(mine.data(), frame.body.data(), mine.size()) != 0) {
        digestMismatch(*state, index);
        return;
    }
    if (trace_.enabled()) {
        const TransferRow& row = table_.at(index);
        trace_.write("file verified",
                     transferName(row.origin, row.file) + ": its " + std::to_string(state->size) +
                         " bytes, read back, have the sender's SHA-256 " + ext::digestHex(mine));
    }
    state->digest = std::make_unique<ext::RunningDigest>(); // spent; its value is kept below
    verifiedDigest_ = mine;
    extendedVerified(frame.transfer, index, ext::digestHex(mine));
}

void ServeurEngine::digestMismatch(ExtReceive& state, int index) {
    const TransferRow& row = table_.at(index);
    if (trace_.wants("file not verified")) {
        trace_.write("file not verified", transferName(row.origin, row.file) +
                                              ": its bytes do not have the sender's digest; "
                                              "the copy is discarded and the file sent again");
    }
    const std::uint64_t transfer = row.transfer;
    state.written.clear();
    state.digest->restart();
    state.keptAt = 0;
    state.writebackFrom = 0;
    ++state.epoch;
    const int folderFd = originFolder(row.origin);
    if (folderFd >= 0) {
        removeState(folderFd, row.file);
        ::close(folderFd);
    }
    writer_.begin(row.origin);
    table_.edit(index).stagedInode = 0; // the next piece makes the file anew
    table_.edit(index).stagedBorn = 0;
    table_.setPosition(index, 1);
    emit tableChanged();
    answerExtended(ext::Kind::Mismatch, transfer, 0);
}

void ServeurEngine::extendedVerified(std::uint64_t transfer, int index, const std::string& sha256) {
    WriteFailure failure;
    if (fileOf(index, failure, true) < 0 || !completeFile(index, failure)) {
        extendedFailed(index, transfer, failure);
        return;
    }
    const TransferRow& row = table_.at(index);
    const ExtKey key{transfer, row.origin};
    const std::int64_t size = extended_.at(key).size;
    rememberVerified(index, extended_.at(key));
    if (trace_.enabled()) {
        trace_.write("file finished", transferName(row.origin, row.file) + ", " +
                                          transferSummary(size, elapsedMs(row.origin)) +
                                          ", verified (SHA-256 as sent), extended protocol, "
                                          "from " +
                                          peerText());
    }
    core_.arrived(row);
    recordReceived(row, size, sha256);
    startedAt_.erase(row.origin);
    extended_.erase(key);
    table_.remove(index);
    emit tableChanged();
    answerExtended(ext::Kind::Verified, transfer, size);
}

void ServeurEngine::startWriteback(int index, ExtReceive& state) {
    const std::int64_t upTo = state.written.cumulative();
    if (upTo - state.writebackFrom < kWritebackStepBytes) {
        return;
    }
    const TransferRow& row = table_.at(index);
    const int fd = writer_.keptFor(row.origin, diskName(row), lookupRound());
    if (fd < 0) {
        return;
    }
    ::sync_file_range(fd, state.writebackFrom, upTo - state.writebackFrom, SYNC_FILE_RANGE_WRITE);
    state.writebackFrom = upTo;
    if (row.staged && upTo - state.keptAt >= kRecordStepBytes) {
        keepProgress(index, fd, state);
    }
}

// The record beside the staging file claims only bytes already on stable storage: the ranges
// written so far are taken now, synced on the worker's thread, and recorded once that is done.
void ServeurEngine::keepProgress(int index, int fd, ExtReceive& state) {
    if (state.syncing) {
        return;
    }
    const TransferRow& row = table_.at(index);
    StagingState record{row.transfer,
                        row.origin,
                        row.file,
                        state.size,
                        FileIdentity{row.stagedInode, row.stagedBorn},
                        state.written.list(),
                        state.keyId};
    const std::int64_t claimed = state.written.cumulative();
    state.syncing =
        syncer_.sync(fd, [this, record = std::move(record), claimed, epoch = state.epoch](
                             bool synced) { recordProgress(record, claimed, epoch, synced); });
}

void ServeurEngine::recordProgress(const StagingState& record, std::int64_t claimed,
                                   std::uint64_t epoch, bool synced) {
    const auto found = extended_.find(ExtKey{record.transfer, record.origin});
    if (found == extended_.end()) {
        return; // verified, given up or started again meanwhile: no record is owed
    }
    ExtReceive& state = found->second;
    state.syncing = false;
    const int index = table_.findOrigin(state.origin);
    if (state.epoch != epoch || index < 0 || table_.at(index).transfer != record.transfer ||
        FileIdentity{table_.at(index).stagedInode, table_.at(index).stagedBorn} !=
            record.identity) {
        return;
    }
    std::string why = "cannot sync " + stagingName(record.file);
    const int folderFd = synced ? originFolder(record.origin) : -1;
    if (folderFd >= 0 && writeState(folderFd, record, writer_.ops(), why)) {
        state.keptAt = claimed;
    } else if (trace_.wants("progress not kept")) {
        trace_.write("progress not kept", transferName(record.origin, record.file) + ": " + why +
                                              "; a restart would send more again");
    }
    if (folderFd >= 0) {
        ::close(folderFd);
    }
}

// A header offered again for a transfer verified lately: its final answer was lost and the
// sender, hearing nothing, announced the file again. The answer says every byte is held, and the
// sender's finish then gets its final answer again; no new transfer starts. Only the origin (and
// key) whose bytes were verified hears so, and only while its file is still the one verified.
bool ServeurEngine::answerVerifiedAgain(HeaderCall& call) {
    if (!call.offer) {
        return false;
    }
    const ext::Offer& offer = *call.offer;
    if (verifiedFor({call.nomOrigine, offer.transfer, offer.size, provingKeyId()}) == nullptr) {
        return false;
    }
    call.accept = ext::Accept{offer.transfer, offer.size};
    EnvoieAck(offer.size + 1, call.accept);
    return true;
}

// A finish for a transfer no row holds: verified already (its answer lost) when the origin,
// the key, the size and the digest all match; unknown otherwise.
void ServeurEngine::answerFinishAgain(const ext::Frame& frame) {
    const VerifiedEntry* found = nullptr;
    if (sealedFrom_.has_value()) {
        const auto session = sessions_.find(*sealedFrom_);
        const std::string keyId(reinterpret_cast<const char*>(session->second.keyId.data()),
                                session->second.keyId.size());
        found = verifiedFor({sealedFrom_->second, frame.transfer, frame.value, keyId});
    } else {
        found = verifiedKeyless(frame.transfer, frame.value);
    }
    const bool verified = found != nullptr && frame.body.size() == found->digest.size() &&
                          std::equal(found->digest.begin(), found->digest.end(),
                                     reinterpret_cast<const unsigned char*>(frame.body.data()));
    answerExtended(verified ? ext::Kind::Verified : ext::Kind::Unknown, frame.transfer,
                   verified ? frame.value : 0);
}

// A datagram in clear names no origin: only an origin without a key may be answered for it.
const VerifiedEntry* ServeurEngine::verifiedKeyless(std::uint64_t transfer, std::int64_t size) {
    for (const std::string& origin : verified_.originsOf(transfer)) {
        if (!keyedOrigin(origin)) {
            return verifiedFor({origin, transfer, size, {}});
        }
    }
    return nullptr;
}

const VerifiedEntry* ServeurEngine::verifiedFor(const VerifiedAsk& ask) {
    const VerifiedEntry* found = verified_.find(ask, QDateTime::currentMSecsSinceEpoch());
    if (found == nullptr) {
        return nullptr;
    }
    // The file under that name must still be the one verified: replaced or written since, it
    // is another file, and the sender must send its own again.
    const int folderFd = originFolder(found->origin);
    struct stat st {};
    const bool same =
        folderFd >= 0 && ::fstatat(folderFd, found->file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_ino == found->inode && changeTimeNs(st) == found->changedNs;
    if (folderFd >= 0) {
        ::close(folderFd);
    }
    return same ? found : nullptr;
}

void ServeurEngine::rememberVerified(int index, const ExtReceive& state) {
    const TransferRow& row = table_.at(index);
    VerifiedEntry entry{row.origin,
                        row.transfer,
                        state.size,
                        state.keyId,
                        verifiedDigest_,
                        row.file,
                        0,
                        0,
                        QDateTime::currentMSecsSinceEpoch()};
    const int folderFd = originFolder(row.origin);
    struct stat st {};
    if (folderFd >= 0 && ::fstatat(folderFd, row.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        entry.inode = st.st_ino;
        entry.changedNs = changeTimeNs(st);
        verified_.add(std::move(entry));
        keepVerified();
    }
    if (folderFd >= 0) {
        ::close(folderFd);
    }
}

// The list is written at once, unless it was a moment ago: then within the second, so that a
// stream of small files does not write it for each.
void ServeurEngine::keepVerified() {
    verifiedDirty_ = true;
    const std::int64_t since = clock_.elapsed() - verifiedSavedMs_;
    if (since >= kVerifiedSaveMs || verifiedSavedMs_ == 0) {
        saveVerified();
    } else if (!saveVerified_.isActive()) {
        saveVerified_.start(static_cast<int>(kVerifiedSaveMs - since));
    }
}

void ServeurEngine::saveVerified() {
    if (!verifiedDirty_) {
        return;
    }
    verifiedDirty_ = false;
    verifiedSavedMs_ = std::max<std::int64_t>(clock_.elapsed(), 1);
    std::string why;
    if (!verified_.save(folder_.fd(), writer_.ops(), why) && trace_.wants("progress not kept")) {
        trace_.write("progress not kept",
                     why + ": a restart would have files verified lately sent again");
    }
}

// A list damaged (a crash of the disk, someone's edit) is only a loss of shortcuts: files are
// sent again in full.
void ServeurEngine::loadVerified() {
    std::string why;
    if (!verified_.load(folder_.fd(), QDateTime::currentMSecsSinceEpoch(), why)) {
        trace_.write("progress not kept", why + " in " + cfg_.cfgRepertoire +
                                              ": ignored; files verified lately may be sent again");
    }
}

// A staging file someone disturbed starts the transfer again from nothing (the sender, answered
// as for an unknown transfer, announces it anew); any other failure leaves the datagram
// unanswered, so the sender asks again.
void ServeurEngine::extendedFailed(int index, std::uint64_t transfer, const WriteFailure& failure) {
    if (failure.disturbed) {
        restartDisturbed(index, failure);
        answerExtended(ext::Kind::Unknown, transfer, 0);
    } else {
        pieceFailed(table_.at(index), failure);
    }
}

// False when the written bytes cannot be read back.
bool ServeurEngine::catchUpDigest(int index, ExtReceive& state, std::int64_t budget) {
    const std::int64_t upTo = state.written.cumulative();
    if (state.digest->done() >= upTo) {
        return true;
    }
    WriteFailure failure;
    const int fd = fileOf(index, failure);
    if (fd < 0) {
        return false;
    }
    return state.digest->catchUp(
        upTo, budget, [fd](char* into, std::size_t length, std::int64_t offset) {
            return static_cast<long>(::pread(fd, into, length, static_cast<off_t>(offset)));
        });
}

// Answers go in the order their datagrams came: the Acks owed so far go first.
void ServeurEngine::answerExtended(ext::Kind kind, std::uint64_t transfer, std::int64_t value) {
    sendOwedAcks();
    ext::encode(kind, transfer, value, {}, extAnswer_);
    if (sealedFrom_.has_value()) {
        sealAnswer(*sealedFrom_);
    }
    udpSend.reply(extAnswer_);
}

// An Ack in clear answers a sender whose address nothing proved: it is at most three times the
// datagram that drew it. A sealed one answers a proven key.
void ServeurEngine::answerWritten(const ExtKey& transfer, const ExtReceive& state,
                                  std::size_t drawnBy) {
    sendOwedAcks();
    const bool sealed = sealedFrom_.has_value();
    const auto ranges = state.written.beyondCumulative(sealed ? ext::kMostRangesPerAnswer
                                                              : ext::rangesWithin(drawnBy));
    ext::encodeAck(transfer.first, state.written.cumulative(), ranges, extAnswer_);
    if (sealed) {
        sealAnswer(transfer);
    }
    udpSend.reply(extAnswer_);
}

// Outside a batch of datagrams (none is being handled) there is nothing to wait for.
void ServeurEngine::oweAck(const ExtKey& transfer, std::size_t drawnBy) {
    if (!udpSend.handling()) {
        if (const auto found = extended_.find(transfer); found != extended_.end()) {
            answerWritten(transfer, found->second, drawnBy);
        }
        return;
    }
    for (OwedAck& owed : owedAcks_) {
        if (owed.transfer == transfer) {
            owed.to = udpSend.source(); // the latest source: a peer whose address changed
            owed.drawnBy = std::max(owed.drawnBy, drawnBy);
            owed.sealed = sealedFrom_.has_value();
            return;
        }
    }
    owedAcks_.push_back(OwedAck{transfer, udpSend.source(), drawnBy, sealedFrom_.has_value()});
}

void ServeurEngine::sendOwedAcks() {
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
        ext::encodeAck(ack.transfer.first, found->second.written.cumulative(), ranges, extAnswer_);
        if (ack.sealed) {
            sealAnswer(ack.transfer);
        }
        udpSend.replyTo(ack.to, extAnswer_);
    }
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

} // namespace zelk
