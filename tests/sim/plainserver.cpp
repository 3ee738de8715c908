#include "plainserver.h"

#include "codec.h"
#include "scenario.h"
#include "staging.h"

#include <ostream>

namespace zelk::simtest {

namespace {

// The wall clock when a run begins: rows keep wall times, and a day in 2026 is as good as any.
constexpr std::int64_t kEpochMs = 1'780'000'000'000;

std::string addressText(const Address& address) {
    return "10.0.0." + std::to_string(address.host);
}

} // namespace

PlainServerNode::PlainServerNode(FileSystem& disk, Settings settings)
    : disk_(disk), settings_(std::move(settings)), log_(traceWanted()) {
    restart(0);
}

void PlainServerNode::restart(Micros) {
    core_ = PlainReceiver(PlainReceiver::Settings{.stagePlain = settings_.stagePlain});
    replace_.clear();
    outgoing_.clear();
}

std::string PlainServerNode::folderOf(std::string_view origin) const {
    const std::size_t end = origin.find_last_not_of(' ');
    return settings_.folder + "/" +
           std::string(origin.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

void PlainServerNode::receive(const Datagram& datagram, Micros now) {
    const std::string_view frame(reinterpret_cast<const char*>(datagram.bytes.data()),
                                 datagram.bytes.size());
    const Instant at{kEpochMs + now / 1000, now / 1000};
    const FrameCheck check = Valide_Id_Long(frame);
    if (!check.valid()) {
        return;
    }
    if (isHeaderFrame(frame, check)) {
        header(frame, datagram, at);
    } else {
        content(frame, datagram, at);
    }
}

void PlainServerNode::header(std::string_view bytes, const Datagram& datagram, Instant now) {
    const auto decoded = Traduit_Recu(bytes, Valide_Id_Long(bytes));
    if (!decoded || isStagingName(decoded->nomFichier)) {
        return;
    }
    const std::string address = addressText(datagram.from);
    PlainFrame frame;
    frame.origin = decoded->nomOrigine;
    frame.file = decoded->nomFichier;
    frame.size = decoded->tailleTotale;
    frame.address = address;
    frame.port = datagram.from.port;
    frame.now = now;
    const HeaderReply reply = core_.header(frame);
    if (log_ != nullptr) {
        *log_ << "t=" << now.steadyMs << "ms server header " << frame.file << ' ' << frame.size
              << ": step " << static_cast<int>(reply.step) << " drop "
              << static_cast<int>(reply.drop) << '\n';
    }
    if (reply.step == HeaderStep::Dropped) {
        return;
    }
    if (reply.step == HeaderStep::Started) {
        replace_[decoded->nomOrigine] = true;
    }
    answer(reply.step == HeaderStep::Resumed ? core_.table().at(reply.row).position : reply.ack,
           datagram);
}

// The position moves only once the piece is written; the last one makes the file whole.
void PlainServerNode::content(std::string_view bytes, const Datagram& datagram, Instant now) {
    const Content decoded = Extrait_Orig_Data(bytes, Valide_Id_Long(bytes));
    const std::string address = addressText(datagram.from);
    PlainFrame frame;
    frame.kind = PlainFrame::Kind::Content;
    frame.origin = decoded.nomOrigine;
    frame.content = decoded.donneesContenu;
    frame.address = address;
    frame.port = datagram.from.port;
    frame.now = now;
    const PieceWrite piece = core_.content(frame);
    if (log_ != nullptr) {
        *log_ << "t=" << now.steadyMs << "ms server piece of " << frame.content.size() << " at "
              << piece.position << " drop " << static_cast<int>(piece.drop)
              << (piece.last ? " last" : "") << '\n';
    }
    if (piece.drop != Drop::None || !write(piece)) {
        return;
    }
    core_.written(piece, now);
    answer(piece.next, datagram);
}

bool PlainServerNode::write(const PieceWrite& piece) {
    const TransferRow& row = core_.table().at(piece.row);
    const std::string folder = folderOf(row.origin);
    const std::string name = row.staged ? stagingName(row.file) : row.file;
    bool& replace = replace_[row.origin];
    if (log_ != nullptr) {
        *log_ << "server writes " << name << (replace ? " anew" : "") << " at " << piece.position
              << '\n';
    }
    if (replace && disk_.exists(folder, name) && !disk_.remove(folder, name)) {
        return false;
    }
    replace = false;
    const auto* data = reinterpret_cast<const std::uint8_t*>(piece.bytes.data());
    if (!disk_.write(folder, name, piece.position - 1, {data, piece.bytes.size()})) {
        return false;
    }
    if (!piece.last) {
        return true;
    }
    if (row.staged && !disk_.rename(folder, name, folder, row.file)) {
        return false;
    }
    completed_.push_back(row.file);
    return true;
}

void PlainServerNode::answer(std::int64_t position, const Datagram& to) {
    const std::string ack = buildAck(std::to_string(position));
    outgoing_.push_back(Datagram{{}, to.from, Bytes(ack.begin(), ack.end())});
}

} // namespace zelk::simtest
