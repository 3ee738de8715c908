// Headers as the extension and keyed origins see them: an offered header is accepted in its
// answer; a keyed origin's header counts only once its sender proved the origin's key against a
// fresh challenge, and its transfer then goes on in sealed datagrams. Nothing in clear that names
// a keyed origin changes anything.

#include "extendedreceiver.h"

#include <sodium.h>

#include <algorithm>

namespace zelk {
namespace {

bool blankOrigin(std::string_view origin) {
    return origin.find_first_not_of(' ') == std::string_view::npos;
}

// What a name in clear may be, for a name that travelled sealed: the same files, and no ';'
// either, which would split its field had it come in clear.
bool sealableName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/;\0", 3)) == std::string_view::npos &&
           !isStagingName(name) && name != ext::kSealedName;
}

std::string keyIdBytes(const ext::KeyId& id) {
    return std::string(reinterpret_cast<const char*>(id.data()), id.size());
}

} // namespace

// A keyed origin is heard only through headers over UDP that carry the handshake; an origin
// without a key only when the server serves such origins. While keys are loaded, the origin of
// ten blanks is refused: it writes into the receive folder itself, where a file of its own named
// like a keyed origin would stand in that origin's folder's way.
std::optional<ExtendedReceiver::Refusal> ExtendedReceiver::admit(std::string_view origin,
                                                                 bool header, bool tcp) const {
    if (keys_.keyed(origin)) {
        if (!header || tcp) {
            return Refusal{header ? "header over TCP naming an origin with a key"
                                  : "plain content naming an origin with a key",
                           true};
        }
        return std::nullopt;
    }
    if (!settings_.keylessServed) {
        return Refusal{"frame from an origin without a key, which this server refuses"};
    }
    if (!keys_.empty() && blankOrigin(origin)) {
        return Refusal{"frame from the origin of ten blanks, refused while keys are loaded"};
    }
    return std::nullopt;
}

std::string ExtendedReceiver::Call::provingKeyId() const {
    return proving ? keyIdBytes(provingId) : std::string();
}

ExtHeaderReply ExtendedReceiver::header(const ExtHeaderIn& in) {
    ExtHeaderReply reply;
    reply.size = in.size;
    Call call{in, reply, in.file, std::nullopt, std::nullopt, std::nullopt, std::nullopt, {}};
    if (keys_.keyed(in.origin)) {
        keyedHeader(call);
        return reply;
    }
    if (in.file == ext::kSealedName) {
        // Only the keys of a keyed origin open such a header's name: taken as it stands, it would
        // name a file of its own.
        reply.refused = "header with a sealed name, naming an origin without a key";
        return reply;
    }
    call.offer = acceptableOffer(call);
    readSeveral(call);
    if (call.offer) {
        reply.size = std::to_string(call.offer->size); // the plain field may say 0 for a large file
    }
    matchFile(call);
    return reply;
}

// An offer is taken only over UDP (TCP intake stays plain), for a file with bytes, whose plain
// size field says what the offer says, and under an identity no other origin uses.
std::optional<ext::Offer> ExtendedReceiver::acceptableOffer(const Call& call) {
    if (call.in.tcpIndex >= 0 || !settings_.extension) {
        return std::nullopt;
    }
    const auto offer = ext::findOffer(call.in.payload);
    if (!offer || offer->size <= 0 || call.in.size != ext::plainSizeText(offer->size)) {
        return std::nullopt;
    }
    // Datagrams in clear name no origin: among origins without a key, an identity is one's.
    const auto taken = keylessExtended(offer->transfer);
    if (taken != extended_.end() && taken->second.origin != call.in.origin) {
        return std::nullopt;
    }
    return offer;
}

// Several transfers at once are run only by a client that asked for them beside its offer.
void ExtendedReceiver::readSeveral(Call& call) {
    if (call.offer) {
        call.several = ext::findMulti(call.in.payload);
    }
}

// The plain rules decide; the extension then takes up an offered header's row.
void ExtendedReceiver::matchFile(Call& call) {
    ExtHeaderReply& reply = call.reply;
    reply.offered = call.offer.has_value();
    reply.keyHeld = call.proving.has_value();
    // Its verdict is on its way: nothing may replace or reopen the file meanwhile.
    if (publishingFile(call.in.origin, call.file)) {
        return;
    }
    if (answerVerifiedAgain(call)) {
        return;
    }
    reply.plainAsked = true;
    reply.plain = plain_.header(plainFrame(call));
    for (const GoneRow& gone : reply.plain.gone) {
        forget(gone.row);
    }
    switch (reply.plain.step) {
    case HeaderStep::Dropped:
        return;
    case HeaderStep::ResetIgnored:
        answerHeader(reply.plain.ack, call);
        return;
    case HeaderStep::Started:
        disk_.begin(table_.at(reply.plain.row));
        answerHeader(startExtended(reply.plain.row, call), call);
        return;
    case HeaderStep::Resumed:
        adoptExtended(reply.plain.row, call);
        answerHeader(table_.at(reply.plain.row).position, call);
        return;
    }
}

PlainFrame ExtendedReceiver::plainFrame(const Call& call) const {
    PlainFrame frame;
    frame.kind = PlainFrame::Kind::Header;
    frame.origin = call.in.origin;
    frame.file = call.file;
    frame.size = call.reply.size;
    frame.address = call.in.address;
    frame.port = call.in.port;
    frame.tcpIndex = call.in.tcpIndex;
    frame.now = call.in.now;
    frame.offered = call.offer.has_value();
    frame.proven = call.proving.has_value();
    frame.keyed = keys_.keyed(call.in.origin);
    frame.several = call.offer.has_value() && call.several.has_value();
    frame.transfer = call.offer ? call.offer->transfer : 0;
    frame.keyOfRow = keyOfRow(frame, call);
    return frame;
}

// A keyed origin's row goes on only under the key that started it: a transfer another of its
// keys started is not this one's to resume.
bool ExtendedReceiver::keyOfRow(const PlainFrame& frame, const Call& call) const {
    const int index = plain_.rowFor(frame);
    if (index < 0) {
        return true;
    }
    const TransferRow& row = table_.at(index);
    if (!row.keyed || row.transfer == 0) {
        return true;
    }
    const auto held = extended_.find(ExtKey{row.transfer, row.origin});
    return held == extended_.end() || held->second.keyId == call.provingKeyId();
}

// `accept`: the extension's acceptance, appended to the answer; a proven sender's carries the
// server's proof of it.
void ExtendedReceiver::answerHeader(std::int64_t position, Call& call) {
    std::string& text = call.reply.answer;
    buildAck(std::to_string(position), text);
    if (call.accept && call.proving) {
        const auto& [key, transcript] = *call.proving;
        text += ext::provenAcceptSuffix(
            {*call.accept, ext::acceptProof(key, transcript, call.accept->cumulative)});
    } else if (call.accept) {
        text += ext::acceptSuffix(*call.accept);
    }
    if (call.accept && call.several) {
        call.reply.granted = granted(*call.several);
        text += ext::grantSuffix(call.reply.granted);
    }
}

int ExtendedReceiver::granted(int asked) const {
    return std::clamp(plain_.settings().transfersPerOrigin, 1, asked);
}

// A header offered again for a transfer verified lately: its final answer was lost and the
// sender, hearing nothing, announced the file again. The answer says every byte is held, and the
// sender's finish then gets its final answer again; no new transfer starts. Only the origin (and
// key) whose bytes were verified hears so, and only while its file is still the one verified.
bool ExtendedReceiver::answerVerifiedAgain(Call& call) {
    if (!call.offer) {
        return false;
    }
    const ext::Offer& offer = *call.offer;
    if (verifiedFor({call.in.origin, offer.transfer, offer.size, call.provingKeyId()},
                    call.in.now) == nullptr) {
        return false;
    }
    call.accept = ext::Accept{offer.transfer, offer.size};
    call.reply.again = true;
    answerHeader(offer.size + 1, call);
    return true;
}

// A new row for an offered header: nothing written yet, unless an earlier run of the server left
// this file's staging file and its record. The answer's position: 1, or past what is held.
std::int64_t ExtendedReceiver::startExtended(int index, Call& call) {
    if (!call.offer) {
        return 1;
    }
    const ext::Offer& offer = *call.offer;
    table_.edit(index).transfer = offer.transfer;
    plain_.extensionSpoken(call.in.origin, call.in.now);
    ExtReceive state;
    state.origin = table_.at(index).origin;
    state.size = offer.size;
    state.keyId = call.provingKeyId();
    const std::int64_t held = resumeFromDisk(index, state, call) ? state.written.cumulative() : 0;
    table_.setPosition(index, held + 1);
    extended_.insert_or_assign(ExtKey{offer.transfer, state.origin}, std::move(state));
    call.accept = ext::Accept{offer.transfer, held};
    call.reply.held = held;
    return held + 1;
}

// Only what the record claims is taken, and only when the staging file is the one it describes
// and long enough: the record is written after the bytes it claims were synced. The digest is
// taken again by reading them back; what the record does not claim is simply sent again.
bool ExtendedReceiver::resumeFromDisk(int index, ExtReceive& state, Call& call) {
    TransferRow& row = table_.edit(index);
    const StagedFile staged = disk_.staged(row);
    if (!staged.folder) {
        return false;
    }
    const auto& found = staged.record;
    const bool usable = found && found->origin == row.origin && found->file == row.file &&
                        found->size == state.size && found->keyId == state.keyId &&
                        staged.staging == found->identity && staged.size >= 0 &&
                        (found->ranges.empty() || staged.size >= found->ranges.back().end);
    if (!usable) {
        disk_.removeRecord(row); // of another file: the staging file is replaced
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
    disk_.adopt(row);
    call.reply.resumed = *found;
    return true;
}

// A header that resumes the row: an offered one carries the row on under its new identity (a
// client that restarted offers another), from what is written; a plain one makes it plain again,
// from the first byte not written.
void ExtendedReceiver::adoptExtended(int index, Call& call) {
    TransferRow& row = table_.edit(index);
    if (!call.offer) {
        if (row.transfer == 0) {
            return;
        }
        const auto held = extended_.find(ExtKey{row.transfer, row.origin});
        if (held != extended_.end()) {
            row.position = held->second.written.cumulative() + 1;
            extended_.erase(held);
        }
        row.transfer = 0;
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
        state.keyId = call.provingKeyId();
        state.written.add(0, row.position - 1);
    }
    row.transfer = call.offer->transfer;
    plain_.extensionSpoken(call.in.origin, call.in.now);
    state.syncing = false; // a sync under way reports under the old identity, which is gone
    call.accept = ext::Accept{call.offer->transfer, state.written.cumulative()};
    call.reply.held = state.written.cumulative();
    extended_.insert_or_assign(ExtKey{call.offer->transfer, row.origin}, std::move(state));
}

// --- Keyed origins ----------------------------------------------------------------------------

void ExtendedReceiver::keyedHeader(Call& call) {
    auto offer = ext::findOffer(call.in.payload);
    const auto hello = ext::findHello(call.in.payload);
    const auto resume = hello ? std::nullopt : ext::findResume(call.in.payload);
    if (offer && resume && offer->size > 0 && call.in.size == ext::plainSizeText(offer->size)) {
        resumedHeader(*offer, *resume, call);
        return;
    }
    if (!offer || !hello || offer->size <= 0 || call.in.size != ext::plainSizeText(offer->size)) {
        call.reply.refused = "header without the handshake, naming an origin with a key";
        return;
    }
    const ext::Key* key = keys_.keyById(call.in.origin, hello->keyId);
    if (key == nullptr) {
        call.reply.refused = "header under a key the origin does not have";
        return;
    }
    if (hello->sealedNames != (call.in.file == ext::kSealedName)) {
        // The name in clear is bound by the proofs, the hello's tag is not: either changed on the
        // way would take the placeholder for a name, or a name for a sealed one.
        call.reply.refused = "header whose name is not as its hello says";
        return;
    }
    // The transcript is the header as it travels: a sealed name's placeholders, not the name.
    ext::Transcript t{call.in.origin,  offer->transfer,
                      offer->size,     call.in.file,
                      hello->client,   {},
                      hello->aeads,    ext::aeadFor(hello->aeads),
                      hello->ephemeral};
    if (!hello->server) {
        challenge(*key, hello->keyId, t, call);
        return;
    }
    t.server = *hello->server;
    t.serverEphemeral = keys_.ephemeralPublic(t.server); // as the challenge gave it
    if (!ext::sameMac(hello->proof, ext::clientProof(*key, t))) {
        wrongProof(*key, hello->keyId, t, call);
        return;
    }
    auto keys = handshakeKeys(*key, t, call);
    if (!keys) {
        return;
    }
    if (openSealedName(keys->names, *offer, call)) {
        proofOfHandshake(*key, hello->keyId, t, *keys, *offer, call);
    }
    sodium_memzero(&*keys, sizeof *keys);
}

void ExtendedReceiver::proofOfHandshake(const ext::Key& key, const ext::KeyId& keyId,
                                        const ext::Transcript& t, const ext::SessionKeys& keys,
                                        const ext::Offer& offer, Call& call) {
    call.several = ext::findMulti(call.in.payload);
    if (keys_.fresh(challengeInput(t, keyId, call), t.server, call.in.now.steadyMs)) {
        call.offer = offer;
        provenHeader(key, keyId, t, keys, call);
    } else if (!repeatedProof(key, keyId, t, t.server, offer.size, call)) {
        // The challenge ran out, or the header was recorded and played again: only a new
        // challenge, which only the key's holder can answer.
        challenge(key, keyId, t, call);
    }
}

// The server's ephemeral secret is found again from the nonce of the challenge the proof
// answers; a client ephemeral key of small order leaves no shared secret and refuses the header.
std::optional<ext::SessionKeys>
ExtendedReceiver::handshakeKeys(const ext::Key& key, const ext::Transcript& t, Call& call) {
    ext::Key secret = keys_.ephemeral(t.server);
    auto keys = ext::sessionKeys(key, t, secret, t.clientEphemeral);
    sodium_memzero(secret.data(), secret.size());
    if (!keys) {
        call.reply.refused = "header whose ephemeral key leaves no shared secret";
    }
    return keys;
}

// A header that seals its file's name and size names ".zx-sealed" and sizes of 1 in clear: once
// its keys exist, the real ones are opened and checked as a name in clear would be. One that does
// not open (changed on the way, or sealed under other keys) is refused.
bool ExtendedReceiver::openSealedName(const ext::Key& names, ext::Offer& offer, Call& call) {
    if (call.in.file != ext::kSealedName) {
        return true;
    }
    const auto real = ext::openNames(names, offer.transfer, call.in.payload);
    if (!real) {
        call.reply.refused = "header whose sealed name does not open under its keys";
        return false;
    }
    if (real->size <= 0 || !sealableName(real->name)) {
        call.reply.refused = "header whose sealed name is no plain name, or its size none";
        return false;
    }
    call.file = real->name;
    call.reply.file = real->name;
    offer.size = real->size;
    return true;
}

// The server's ephemeral key is found again from its nonce under the secret drawn at start: a
// challenge from before a restart (or one run out) no longer gives the key the sender's proof
// covered. Such a sender gets a new challenge, as a hello would; a proof over a nonce this run
// gave, or that a session holds, is simply wrong.
void ExtendedReceiver::wrongProof(const ext::Key& key, const ext::KeyId& keyId,
                                  const ext::Transcript& t, Call& call) {
    const ext::Session* session = keys_.find(ExtKey{t.transfer, t.origin});
    const bool known = (session != nullptr && session->server == t.server) ||
                       keys_.minted(challengeInput(t, keyId, call), t.server, call.in.now.steadyMs);
    if (known) {
        call.reply.refused = "header whose proof of the key is wrong";
        return;
    }
    challenge(key, keyId, t, call);
}

ext::ChallengeInput ExtendedReceiver::challengeInput(const ext::Transcript& t,
                                                     const ext::KeyId& keyId, const Call& call) {
    addressText_ = std::string(call.in.address) + ' ' + std::to_string(call.in.port);
    return ext::ChallengeInput{t.origin, keyId, t.transfer, t.client, addressText_};
}

// The answer proves the server's key over the sender's fresh nonce, and gives a nonce of its own
// that the sender's proof must cover: a keyed hash of the hello, the sender's address and the
// time, so that nothing is kept until a proof comes.
void ExtendedReceiver::challenge(const ext::Key& key, const ext::KeyId& keyId, ext::Transcript t,
                                 Call& call) {
    t.server = keys_.mint(challengeInput(t, keyId, call), call.in.now.steadyMs);
    t.serverEphemeral = keys_.ephemeralPublic(t.server);
    buildAck("1", call.reply.answer);
    call.reply.answer += ext::challengeSuffix(
        {t.transfer, t.server, t.aead, ext::serverProof(key, t), t.serverEphemeral});
    call.reply.challenged = true;
}

// The proof of the transfer under way, sent again because its answer was lost: answered again,
// changing nothing. `marker`: the nonce its session was opened under.
bool ExtendedReceiver::repeatedProof(const ext::Key& key, const ext::KeyId& keyId,
                                     const ext::Transcript& t, const ext::Nonce& marker,
                                     std::int64_t size, Call& call) {
    const ExtKey id{t.transfer, t.origin};
    const ext::Session* session = keys_.find(id);
    if (session == nullptr || session->server != marker || session->keyId != keyId) {
        return false;
    }
    call.proving.emplace(key, t);
    call.provingId = keyId;
    const auto held = extended_.find(id);
    if (table_.findTransfer(t.origin, t.transfer) >= 0 && held != extended_.end()) {
        call.accept = ext::Accept{t.transfer, held->second.written.cumulative()};
    } else if (verifiedFor({t.origin, t.transfer, size, call.provingKeyId()}, call.in.now) !=
               nullptr) {
        call.accept = ext::Accept{t.transfer, size};
    } else {
        call.proving.reset();
        return false;
    }
    call.reply.again = true;
    call.reply.keyHeld = true;
    answerHeader(call.accept->cumulative + 1, call);
    return true;
}

// The sender holds the key: the header now counts, and the transfer's datagrams go sealed under
// keys both sides derive from this handshake alone. Its identity is its origin's: another
// origin's use of the same number changes nothing here.
void ExtendedReceiver::provenHeader(const ext::Key& key, const ext::KeyId& keyId,
                                    const ext::Transcript& t, const ext::SessionKeys& keys,
                                    Call& call) {
    if (call.several) {
        // Its client may run a session of several: their transfers need no handshake of their
        // own.
        keys_.keepResumable(ExtKey{t.transfer, call.in.origin}, keys.resume, keyId, t.aead,
                            call.in.now.steadyMs);
    }
    openProven(key, keyId, t, keys, t.server, call);
}

// A later transfer of a client's session of several: its proof under the session's secret
// stands for a handshake, and its keys come from that secret and its own transcript. What the
// server cannot check (a secret it no longer holds, after a restart or once idle) it drops: the
// client then proves the key in a handshake. An offer played again opens nothing: the transfer's
// session, or the list of verified transfers, answers it as before.
void ExtendedReceiver::resumedHeader(ext::Offer offer, const ext::Resume& resume, Call& call) {
    const std::string origin(call.in.origin);
    KeyedSessions::Resumable* from =
        keys_.resumable(ExtKey{resume.session, origin}, call.in.now.steadyMs);
    const ext::Key* key = from != nullptr ? keys_.keyById(origin, from->keyId) : nullptr;
    if (key == nullptr) {
        call.reply.refused = "header of a session this server does not hold";
        return;
    }
    const ext::Transcript t = ext::resumedTranscript(origin, offer.transfer, offer.size,
                                                     call.in.file, resume.client, from->aead);
    if (!ext::sameMac(resume.proof, ext::resumeProof(from->secret, t, resume.session))) {
        call.reply.refused = "header whose proof of its session is wrong";
        return;
    }
    auto keys = ext::resumedKeys(from->secret, t, resume.session);
    if (openSealedName(keys.names, offer, call)) {
        resumedOffer(*key, t, keys, offer, resume, *from, call);
    }
    sodium_memzero(&keys, sizeof keys);
}

void ExtendedReceiver::resumedOffer(const ext::Key& key, const ext::Transcript& t,
                                    const ext::SessionKeys& keys, const ext::Offer& offer,
                                    const ext::Resume& resume, KeyedSessions::Resumable& from,
                                    Call& call) {
    call.several = ext::findMulti(call.in.payload);
    if (from.used.contains(offer.transfer)) {
        if (!repeatedProof(key, from.keyId, t, resume.client, offer.size, call)) {
            call.reply.refused = "header of a session played again";
        }
        return;
    }
    if (from.used.size() >= KeyedSessions::kResumedMost) {
        call.reply.refused = "header of a session that opened as many transfers as it may";
        return;
    }
    from.used.insert(offer.transfer);
    from.usedMs = call.in.now.steadyMs;
    call.offer = offer;
    openProven(key, from.keyId, t, keys, resume.client, call);
}

void ExtendedReceiver::openProven(const ext::Key& key, const ext::KeyId& keyId,
                                  const ext::Transcript& t, const ext::SessionKeys& keys,
                                  const ext::Nonce& marker, Call& call) {
    // Idle sessions go before this one opens: its transfer is not under way yet, and would count
    // as idle itself.
    forgetSessions();
    ext::Session session;
    session.send = ext::EpochKeys(keys.serverToClient);
    session.receive = ext::EpochKeys(keys.clientToServer);
    session.server = marker;
    session.aead = t.aead;
    session.keyId = keyId;
    keys_.open(ExtKey{t.transfer, call.in.origin}, std::move(session));
    call.reply.size = std::to_string(call.offer->size);
    call.proving.emplace(key, t);
    call.provingId = keyId;
    call.reply.proven = true;
    call.reply.keyId = ext::hexOf(keyId);
    matchFile(call);
}

void ExtendedReceiver::forgetSessions() {
    keys_.forgetIdle([this](const ExtKey& id) {
        return extended_.count(id) == 0 && !verified_.holds(id.first, id.second);
    });
}

} // namespace zelk
