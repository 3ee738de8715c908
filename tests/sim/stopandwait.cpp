#include "stopandwait.h"

#include <algorithm>

namespace zelk::simtest {

namespace {

void put32(Bytes& out, std::int64_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

std::int64_t get32(const Bytes& in, std::size_t at) {
    std::int64_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = value << 8 | in[at + i];
    }
    return value;
}

// name length, name, then the numbers: (size, offset) in a piece, (held) in an answer.
Bytes encode(const std::string& name, std::initializer_list<std::int64_t> numbers) {
    Bytes out;
    out.push_back(static_cast<std::uint8_t>(name.size()));
    for (const char c : name) {
        out.push_back(static_cast<std::uint8_t>(c));
    }
    for (const std::int64_t number : numbers) {
        put32(out, number);
    }
    return out;
}

// The name, and where the numbers begin; nothing when the datagram is too short for `count`.
std::optional<std::pair<std::string, std::size_t>> decode(const Bytes& in, std::size_t count) {
    if (in.empty() || in.size() < 1 + in[0] + 4 * count) {
        return std::nullopt;
    }
    return std::pair{std::string(in.begin() + 1, in.begin() + 1 + in[0]), 1 + in[0]};
}

} // namespace

std::optional<Micros> StopAndWaitSender::nextWake() const {
    if (name_.empty() && disk_.list(settings_.outbox).empty()) {
        return std::nullopt;
    }
    return wakeAt_;
}

void StopAndWaitSender::wake(Micros now) {
    if (name_.empty()) {
        name_ = disk_.list(settings_.outbox).front();
        size_ = disk_.size(settings_.outbox, name_);
        offset_ = 0;
    }
    sendPiece(now);
}

void StopAndWaitSender::sendPiece(Micros now) {
    Bytes bytes = encode(name_, {size_, offset_});
    const Bytes data = *disk_.read(settings_.outbox, name_, offset_, settings_.piece);
    bytes.insert(bytes.end(), data.begin(), data.end());
    outgoing_.push_back(Datagram{{}, settings_.peer, std::move(bytes)});
    wakeAt_ = now + settings_.timeout;
}

void StopAndWaitSender::receive(const Datagram& datagram, Micros now) {
    const auto answer = decode(datagram.bytes, 1);
    if (datagram.from != settings_.peer || !answer || answer->first != name_) {
        return;
    }
    const std::int64_t held = get32(datagram.bytes, answer->second);
    if (held == size_) {
        disk_.remove(settings_.outbox, name_);
        name_.clear();
        wakeAt_ = now;
    } else if (held < size_) {
        offset_ = held;
        sendPiece(now);
    }
}

void StopAndWaitSender::restart(Micros now) {
    name_.clear();
    outgoing_.clear();
    wakeAt_ = now;
}

void StopAndWaitReceiver::receive(const Datagram& datagram, Micros) {
    const auto piece = decode(datagram.bytes, 2);
    if (!piece) {
        return;
    }
    const std::size_t at = piece->second;
    const std::span<const std::uint8_t> data(datagram.bytes.begin() + at + 8, datagram.bytes.end());
    const std::int64_t held =
        take(piece->first, get32(datagram.bytes, at), get32(datagram.bytes, at + 4), data);
    outgoing_.push_back(Datagram{{}, datagram.from, encode(piece->first, {held})});
}

std::int64_t StopAndWaitReceiver::take(const std::string& name, std::int64_t size,
                                       std::int64_t offset, std::span<const std::uint8_t> data) {
    const std::string part = "." + name + ".part";
    if (disk_.size(folder_, name) == size && !disk_.exists(folder_, part)) {
        return size; // a copy of a piece of a file already whole
    }
    std::int64_t held = std::max<std::int64_t>(disk_.size(folder_, part), 0);
    if ((offset == held || writesAtItsEnd_) && held < size) {
        data =
            data.first(std::min<std::size_t>(data.size(), static_cast<std::size_t>(size - held)));
        disk_.write(folder_, part, held, data);
        held += static_cast<std::int64_t>(data.size());
        if (held == size) {
            disk_.rename(folder_, part, folder_, name);
        }
    }
    return held;
}

} // namespace zelk::simtest
