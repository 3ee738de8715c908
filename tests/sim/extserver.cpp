#include "extserver.h"

#include "codec.h"
#include "scenario.h"
#include "staging.h"

#include <algorithm>
#include <ostream>

namespace zelk::simtest {

namespace {

// The wall clock when a run begins: rows keep wall times, and a day in 2026 is as good as any.
constexpr std::int64_t kEpochMs = 1'780'000'000'000;

std::string addressText(const Address& address) {
    return "10.0.0." + std::to_string(address.host);
}

std::string_view withoutTrailingBlanks(std::string_view origin) {
    const std::size_t last = origin.find_last_not_of(' ');
    return last == std::string_view::npos ? std::string_view{} : origin.substr(0, last + 1);
}

// Origins and file names become path elements: none may climb out of the receive folder.
bool namesNoOtherFolder(std::string_view element) {
    return element != "." && element != ".." && element.find('/') == std::string_view::npos &&
           element.find('\0') == std::string_view::npos;
}

std::string textOf(const std::optional<Bytes>& bytes) {
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

} // namespace

ExtServerNode::ExtServerNode(FileSystem& disk, Settings settings)
    : disk_(disk), settings_(std::move(settings)), log_(traceWanted()) {
    restart(0);
}

Instant ExtServerNode::instant(Micros now) const {
    return Instant{kEpochMs + now / 1000, now / 1000};
}

// As the program starts: an empty table, the keys, a secret drawn for the challenges, the list
// of transfers verified lately read back from the disk.
void ExtServerNode::restart(Micros now) {
    now_ = now;
    std::set<std::string> keyed;
    for (const ext::KeyLine& line : settings_.keys) {
        keyed.insert(line.origin);
    }
    plain_ = std::make_unique<PlainReceiver>(
        PlainReceiver::Settings{.stagePlain = settings_.stagePlain,
                                .evictionMs = 600'000,
                                .keyedOrigins = static_cast<int>(keyed.size()),
                                .transfersPerOrigin = PlainReceiver::kDefaultTransfersPerOrigin});
    ext_ = std::make_unique<ExtendedReceiver>(*plain_, static_cast<ExtendedDisk&>(*this));
    ext_->setSettings({settings_.extension, settings_.keylessServed});
    Random random(streamSeed(settings_.seed, static_cast<std::uint64_t>(restarts_++)));
    ext::Key secret{};
    for (unsigned char& byte : secret) {
        byte = static_cast<unsigned char>(random.next());
    }
    ext_->loadKeys(settings_.keys, secret);
    const std::string list =
        textOf(disk_.read(settings_.folder, VerifiedList::kFileName, 0, std::int64_t{1} << 30));
    if (!list.empty()) {
        ext_->verified().decode(list, instant(now).wallMs);
    }
    replace_.clear();
    syncs_.clear();
    publishing_.clear();
    sources_.clear();
    outgoing_.clear();
}

std::string ExtServerNode::folderOf(std::string_view origin) const {
    return settings_.folder + "/" + std::string(withoutTrailingBlanks(origin));
}

// Datagrams that arrive at one instant make a batch, as those waiting at one wake-up of the
// program do: its owed Acks are said at a wake-up right after it.
std::optional<Micros> ExtServerNode::nextWake() const {
    if (!syncs_.empty() || !sources_.empty()) {
        return now_;
    }
    return publishing_.empty() ? std::nullopt
                               : std::optional<Micros>(std::max(now_, publishing_.front().due));
}

void ExtServerNode::wake(Micros now) {
    now_ = now;
    endBatch();
    while (!syncs_.empty()) {
        const Sync sync = std::move(syncs_.front());
        syncs_.pop_front();
        ext_->recordSynced(sync.record, sync.claimed, sync.epoch, true);
    }
    publishDue();
}

// In the order they were verified, as the program's worker renames them.
void ExtServerNode::publishDue() {
    while (!publishing_.empty() && publishing_.front().due <= now_) {
        const Publishing done = std::move(publishing_.front());
        publishing_.pop_front();
        WriteFailure failure;
        const bool renamed = complete(done.row, failure);
        const ExtDatagramReply reply =
            ext_->published(ExtKey{done.row.transfer, done.row.origin}, renamed, failure,
                            ExtDatagramIn{0, false, instant(now_)});
        verified_ += reply.verified ? 1 : 0;
        for (const ExtAnswer& answer : reply.answers) {
            send(answer.bytes, done.to);
        }
    }
}

void ExtServerNode::receive(const Datagram& datagram, Micros now) {
    now_ = now;
    const std::string_view bytes(reinterpret_cast<const char*>(datagram.bytes.data()),
                                 datagram.bytes.size());
    const Instant at = instant(now);
    if (!bytes.empty() && (bytes[0] == ext::kStart || bytes[0] == ext::kSealedStart)) {
        sources_.push_back(datagram.from);
        const ExtDatagramReply reply =
            ext_->datagram(bytes, ExtDatagramIn{sources_.size() - 1, true, at});
        if (log_ != nullptr && (!reply.drop.empty() || reply.verified || reply.mismatch)) {
            *log_ << "t=" << at.steadyMs << "ms server extended: " << reply.drop
                  << (reply.verified ? " verified" : "") << (reply.mismatch ? " mismatch" : "")
                  << '\n';
        }
        verified_ += reply.verified ? 1 : 0;
        unknownPieces_ += unknownPiece(bytes, reply) ? 1 : 0;
        for (const ExtAnswer& answer : reply.answers) {
            send(answer.bytes, sources_[answer.peer]);
        }
        if (sources_.size() >= kBatch) {
            endBatch();
        }
        return;
    }
    if (bytes.size() > 1) {
        plainFrame(bytes, datagram, at);
    }
}

// A piece of a transfer the server did not know: its offer was lost, came behind it, or was
// forgotten by a restart.
bool ExtServerNode::unknownPiece(std::string_view bytes, const ExtDatagramReply& reply) {
    const auto frame = ext::decode(bytes);
    return frame && frame->kind == ext::Kind::Data &&
           std::ranges::any_of(reply.answers, [](const ExtAnswer& answer) {
               const auto said = ext::decode(answer.bytes);
               return said && said->kind == ext::Kind::Unknown;
           });
}

void ExtServerNode::plainFrame(std::string_view frame, const Datagram& datagram, Instant now) {
    const FrameCheck check = Valide_Id_Long(frame);
    if (!check.valid() ||
        !namesNoOtherFolder(withoutTrailingBlanks(frame.substr(1, kOriginWidth)))) {
        return;
    }
    const bool isHeader = isHeaderFrame(frame, check);
    if (ext_->admit(frame.substr(1, kOriginWidth), isHeader, false)) {
        return;
    }
    if (isHeader) {
        header(frame, datagram, now);
    } else {
        content(frame, datagram, now);
    }
}

void ExtServerNode::header(std::string_view frame, const Datagram& datagram, Instant now) {
    const FrameCheck check = Valide_Id_Long(frame);
    auto decoded = Traduit_Recu(frame, check);
    if (!decoded || decoded->nomFichier.empty() || !namesNoOtherFolder(decoded->nomFichier) ||
        isStagingName(decoded->nomFichier)) {
        return;
    }
    const std::string address = addressText(datagram.from);
    const ExtHeaderIn in{std::move(decoded->nomOrigine),
                         std::move(decoded->nomFichier),
                         std::move(decoded->tailleTotale),
                         frame.substr(static_cast<std::size_t>(check.posDebutDonnees),
                                      static_cast<std::size_t>(check.longDonnees)),
                         address,
                         datagram.from.port,
                         -1,
                         now};
    const ExtHeaderReply reply = ext_->header(in);
    resumedFromDisk_ += reply.resumed ? 1 : 0;
    if (log_ != nullptr) {
        *log_ << "t=" << now.steadyMs << "ms server header " << in.file << ' ' << reply.size << ": "
              << (reply.answer.empty() ? "-" : reply.answer.substr(0, 24)) << '\n';
    }
    if (!reply.answer.empty()) {
        send(reply.answer, datagram);
    }
}

// The position moves only once the piece is written; the last one makes the file whole.
void ExtServerNode::content(std::string_view bytes, const Datagram& datagram, Instant now) {
    const Content decoded = Extrait_Orig_Data(bytes, Valide_Id_Long(bytes));
    const std::string address = addressText(datagram.from);
    PlainFrame frame;
    frame.kind = PlainFrame::Kind::Content;
    frame.origin = decoded.nomOrigine;
    frame.content = decoded.donneesContenu;
    frame.address = address;
    frame.port = datagram.from.port;
    frame.now = now;
    const PieceWrite piece = plain_->content(frame);
    if (piece.drop != Drop::None) {
        return;
    }
    WriteFailure failure;
    if (!writePiece(piece, failure)) {
        if (failure.disturbed) {
            restartDisturbed(piece.row, now);
        }
        return;
    }
    const PieceDone done = plain_->written(piece, now);
    if (done.ack != 0) {
        send(buildAck(std::to_string(done.ack)), datagram);
    }
}

bool ExtServerNode::writePiece(const PieceWrite& piece, WriteFailure& failure) {
    if (!write(piece.row, piece.position - 1, piece.bytes, failure)) {
        return false;
    }
    return !piece.last || complete(piece.row, failure);
}

void ExtServerNode::restartDisturbed(int index, Instant now) {
    const TransferRow row = plain_->table().at(index);
    plain_->disturbed(index, now);
    removeRecord(row);
    ext_->forget(row);
    begin(row);
}

void ExtServerNode::endBatch() {
    for (const ExtAnswer& answer : ext_->batchEnd()) {
        send(answer.bytes, sources_[answer.peer]);
    }
    sources_.clear();
}

void ExtServerNode::send(std::string_view bytes, const Datagram& to) {
    send(bytes, to.from);
}

void ExtServerNode::send(std::string_view bytes, const Address& to) {
    outgoing_.push_back(Datagram{{}, to, Bytes(bytes.begin(), bytes.end())});
}

// --- The disk as the extension's core reaches it ----------------------------------------------

std::string ExtServerNode::nameOf(const TransferRow& row) const {
    return row.staged ? stagingName(row.file) : row.file;
}

// A staging file once made must still be the very file this transfer wrote; a new transfer's
// first write replaces whatever file holds the name.
bool ExtServerNode::open(int index, bool, WriteFailure& failure) {
    TransferRow& row = plain_->table().edit(index);
    const std::string folder = folderOf(row.origin);
    const std::string name = nameOf(row);
    if (row.staged && row.stagedInode != 0) {
        const auto st = disk_.stat(folder, name);
        if (!st || st->identity != row.stagedInode) {
            failure =
                WriteFailure{name + " was moved, removed or replaced by someone else", false, true};
            return false;
        }
        return true;
    }
    bool& replace = replace_[row.origin + row.file];
    if (replace && disk_.exists(folder, name) && !disk_.remove(folder, name)) {
        failure.why = "cannot replace " + name;
        return false;
    }
    replace = false;
    if (!disk_.exists(folder, name) && !disk_.put(folder, name, {})) {
        failure.why = "cannot make " + name;
        return false;
    }
    if (row.staged) {
        row.stagedInode = disk_.stat(folder, name)->identity;
    }
    return true;
}

bool ExtServerNode::write(int index, std::int64_t offset, std::string_view bytes,
                          WriteFailure& failure) {
    if (!open(index, false, failure)) {
        return false;
    }
    const TransferRow& row = plain_->table().at(index);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (!disk_.write(folderOf(row.origin), nameOf(row), offset, {data, bytes.size()})) {
        failure.why = "the disk is full";
        return false;
    }
    return true;
}

long ExtServerNode::read(int index, char* into, std::size_t length, std::int64_t offset) {
    const TransferRow& row = plain_->table().at(index);
    const auto bytes =
        disk_.read(folderOf(row.origin), nameOf(row), offset, static_cast<std::int64_t>(length));
    if (!bytes) {
        return -1;
    }
    std::copy(bytes->begin(), bytes->end(), into);
    return static_cast<long>(bytes->size());
}

StagedFile ExtServerNode::staged(const TransferRow& row) {
    StagedFile found;
    found.folder = true;
    const std::string folder = folderOf(row.origin);
    found.record = decodeState(textOf(disk_.read(folder, stateName(row.file), 0, 1 << 24)));
    if (const auto st = disk_.stat(folder, stagingName(row.file))) {
        found.staging = FileIdentity{st->identity, 0};
        found.size = st->size;
    }
    return found;
}

void ExtServerNode::removeRecord(const TransferRow& row) {
    const std::string folder = folderOf(row.origin);
    if (disk_.exists(folder, stateName(row.file))) {
        disk_.remove(folder, stateName(row.file));
    }
}

bool ExtServerNode::syncThenRecord(int, const StagingState& record, std::int64_t claimed,
                                   std::uint64_t epoch) {
    syncs_.push_back(Sync{record, claimed, epoch});
    return true;
}

bool ExtServerNode::writeRecord(const StagingState& record, std::string& why) {
    const std::string text = encodeState(record);
    if (!disk_.put(folderOf(record.origin), stateName(record.file),
                   Bytes(text.begin(), text.end()))) {
        why = "the disk is full";
        return false;
    }
    return true;
}

bool ExtServerNode::complete(int index, WriteFailure& failure) {
    return complete(plain_->table().at(index), failure);
}

ExtendedDisk::Publish ExtServerNode::publish(int index, WriteFailure& failure) {
    if (settings_.publishDelay == 0) {
        return complete(index, failure) ? Publish::Done : Publish::Failed;
    }
    publishing_.push_back(
        Publishing{plain_->table().at(index), now_ + settings_.publishDelay, sources_.back()});
    return Publish::Pending;
}

bool ExtServerNode::complete(const TransferRow& row, WriteFailure& failure) {
    const std::string folder = folderOf(row.origin);
    if (row.staged) {
        if (!disk_.rename(folder, stagingName(row.file), folder, row.file)) {
            failure.why = "cannot rename " + stagingName(row.file);
            return false;
        }
        removeRecord(row);
    }
    completed_.push_back(row.file);
    return true;
}

std::optional<KeptFile> ExtServerNode::kept(const std::string& origin, const std::string& file) {
    const auto st = disk_.stat(folderOf(origin), file);
    if (!st) {
        return std::nullopt;
    }
    return KeptFile{st->identity, static_cast<std::int64_t>(st->modified)};
}

void ExtServerNode::saveVerified(const VerifiedList& list) {
    const std::string text = list.encode();
    disk_.put(settings_.folder, VerifiedList::kFileName, Bytes(text.begin(), text.end()));
}

} // namespace zelk::simtest
