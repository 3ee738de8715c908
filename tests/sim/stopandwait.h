#pragma once

#include "node.h"

#include <string>
#include <utility>

namespace zelk::simtest {

using namespace zelk::sim;

// A stop-and-wait pair that stands in for the protocol's cores while testing the kit; it is not
// the system's protocol. Each piece names its file, the file's size and its offset; the receiver
// answers with how much of the file it holds, and the sender goes on from there.
class StopAndWaitSender : public Node {
public:
    struct Settings {
        Address peer;
        std::string outbox = "out";
        std::int64_t piece = 1000;
        Micros timeout = 200'000;
    };
    StopAndWaitSender(FileSystem& disk, Settings settings) : disk_(disk), settings_(settings) {}

    void receive(const Datagram& datagram, Micros now) override;
    std::optional<Micros> nextWake() const override;
    void wake(Micros now) override;
    std::vector<Datagram> takeOutgoing() override { return std::exchange(outgoing_, {}); }
    void restart(Micros now) override;

private:
    void sendPiece(Micros now);

    FileSystem& disk_;
    Settings settings_;
    std::string name_; // the file in hand, empty for none
    std::int64_t size_ = 0;
    std::int64_t offset_ = 0;
    Micros wakeAt_ = 0;
    std::vector<Datagram> outgoing_;
};

// Writes a piece only where it belongs, into a hidden part file renamed once whole. With
// `writesAtItsEnd` it writes each piece after what it holds, whatever its offset: the broken
// receiver that copied datagrams damage.
class StopAndWaitReceiver : public Node {
public:
    StopAndWaitReceiver(FileSystem& disk, std::string folder, bool writesAtItsEnd = false)
        : disk_(disk), folder_(std::move(folder)), writesAtItsEnd_(writesAtItsEnd) {}

    void receive(const Datagram& datagram, Micros now) override;
    std::optional<Micros> nextWake() const override { return std::nullopt; }
    void wake(Micros) override {}
    std::vector<Datagram> takeOutgoing() override { return std::exchange(outgoing_, {}); }
    void restart(Micros) override {} // it holds everything on its disk

private:
    std::int64_t take(const std::string& name, std::int64_t size, std::int64_t offset,
                      std::span<const std::uint8_t> data);

    FileSystem& disk_;
    std::string folder_;
    bool writesAtItsEnd_;
    std::vector<Datagram> outgoing_;
};

} // namespace zelk::simtest
