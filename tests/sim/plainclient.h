#pragma once

#include "node.h"
#include "plainsender.h"

#include <string>
#include <utility>
#include <vector>

namespace zelk::simtest {

using namespace zelk::sim;

// The client's plain protocol as a simulated node: the real sender's decisions and the real
// codec, with the shell of ClientEngine played over the node's file system and virtual time. The
// outbox is scanned when the list is empty, a finished file is deleted or held back as the sender
// says, and the two timers (the send loop, the wait for an answer) are wake-ups.
class PlainClientNode : public Node {
public:
    struct Settings {
        Address server;
        std::string outbox = "out";
        std::string origin = "simclient "; // all 10 characters
        std::size_t pieceMax = 1000;
        std::int64_t waitMs = 300;
        std::int64_t loopMs = 5;
        std::uint32_t seed = 1; // of the piece lengths drawn once the link is suspect
    };
    PlainClientNode(FileSystem& disk, Settings settings);

    void receive(const Datagram& datagram, Micros now) override;
    std::optional<Micros> nextWake() const override;
    void wake(Micros now) override;
    std::vector<Datagram> takeOutgoing() override { return std::exchange(outgoing_, {}); }
    void restart(Micros now) override;

    // Files acknowledged whole, in order (a file sent again whole counts again).
    const std::vector<std::string>& finished() const { return finished_; }
    int headers() const { return headers_; }

private:
    // An engine timer: while enabled it ticks every interval, counted from its latest enabling.
    struct Timer {
        std::int64_t intervalMs = 0;
        bool enabled = false;
        Micros due = -1;
        void set(std::int64_t ms, Micros now);
        void enable(Micros now);
        void disable() { enabled = false; }
        bool ticks() const { return enabled && intervalMs > 0; }
    };
    struct Listed {
        std::string name;
        FileStamp scanStamp;
    };

    void start(Micros now);
    std::int64_t ms() const { return now_ / 1000; }
    std::optional<FileStamp> stampOf(const std::string& name) const;
    void scan();
    void sendLoop();
    void waitRanOut();
    void sendHeader();
    void sendContent(std::int64_t p);
    void finishFirst();
    void dropFirst();
    bool safeToDelete(const std::optional<FileStamp>& start, const std::string& name) const;
    void run(const PlainSender::Actions& actions);
    void perform(const SenderAction& action);
    void send(const std::string& bytes);
    void note(const SenderAction& action) const;

    FileSystem& disk_;
    Settings settings_;
    Micros now_ = 0;
    PlainSender sender_{PlainSender::Settings{}};
    Timer loop_;
    Timer wait_;
    std::vector<Listed> listed_;
    std::int64_t size_ = 0;
    std::vector<Datagram> outgoing_;
    std::vector<std::string> finished_;
    int headers_ = 0;
    std::ostream* log_ = nullptr; // the sender's actions, for replaying a seed by eye
};

} // namespace zelk::simtest
