#pragma once

#include "node.h"
#include "plainreceiver.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zelk::simtest {

using namespace zelk::sim;

// The server's plain protocol as a simulated node: the real receiver's rules and the real codec,
// with the shell of ServeurEngine played over the node's file system. Each origin has its folder
// below the receive folder; a new transfer's first piece replaces the file of its name, a staged
// one arrives under its staging name and takes its own once whole; every answer goes back to the
// exact address and port the frame came from. A restart forgets the table and keeps the disk.
class PlainServerNode : public Node {
public:
    struct Settings {
        std::string folder = "in";
        bool stagePlain = false;
    };
    PlainServerNode(FileSystem& disk, Settings settings);

    void receive(const Datagram& datagram, Micros now) override;
    std::optional<Micros> nextWake() const override { return std::nullopt; }
    void wake(Micros) override {}
    std::vector<Datagram> takeOutgoing() override { return std::exchange(outgoing_, {}); }
    void restart(Micros now) override;

    // The folder of an origin's files ("simclient " arrives in "in/simclient").
    std::string folderOf(std::string_view origin) const;
    // Files made whole, in order.
    const std::vector<std::string>& completed() const { return completed_; }

private:
    void header(std::string_view frame, const Datagram& datagram, Instant now);
    void content(std::string_view frame, const Datagram& datagram, Instant now);
    bool write(const PieceWrite& piece);
    void answer(std::int64_t position, const Datagram& to);

    FileSystem& disk_;
    Settings settings_;
    PlainReceiver core_;
    // Origins whose next piece replaces the file of its name: a new transfer.
    std::map<std::string, bool, std::less<>> replace_;
    std::vector<Datagram> outgoing_;
    std::vector<std::string> completed_;
    std::ostream* log_ = nullptr; // what the server did, for replaying a seed by eye
};

} // namespace zelk::simtest
