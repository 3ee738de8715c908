#pragma once

#include "extendedsender.h"
#include "extendedsession.h"
#include "node.h"
#include "plainsender.h"
#include "random.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelk::simtest {

using namespace zelk::sim;

// The client as ClientEngine runs it, as a simulated node: the plain sender and the extended
// sender side by side, with the real codecs, over the node's file system and virtual time. Its
// headers offer the extension (and a keyed origin's hello); it sends a window of extended
// datagrams once the server accepts, and goes plain after offers answered plainly. The send loop,
// the wait, the pace, the extension's timeout and the digest's steps are wake-ups.
class ExtClientNode : public Node {
public:
    struct Settings {
        Address server;
        std::string outbox = "out";
        std::string origin = "simclient "; // all 10 characters
        std::size_t pieceMax = 1000;
        std::int64_t waitMs = 300;
        std::int64_t loopMs = 5;
        std::uint32_t seed = 1; // of the piece lengths, the transfer identities and nonces
        bool extension = true;  // "offreExtension="
        std::optional<ext::Key> key;
        std::int64_t extendedDatagram = 1452; // "tailleTrameZX1="
        double rateCap = 0;
        int transfers = 64; // "transfertsMaxi=", as the program defaults it
        int firstFlight = ExtendedSession::kFirstFlightPieces; // as the program sends them
    };
    ExtClientNode(FileSystem& disk, Settings settings);

    void receive(const Datagram& datagram, Micros now) override;
    std::optional<Micros> nextWake() const override;
    void wake(Micros now) override;
    std::vector<Datagram> takeOutgoing() override { return std::exchange(outgoing_, {}); }
    void restart(Micros now) override;
    // The kernel reports a change in the outbox: an idle client looks at it at once.
    void outboxChanged(Micros now);

    // Files acknowledged whole, in order (a file sent again whole counts again).
    const std::vector<std::string>& finished() const { return finished_; }
    int headers() const { return headers_; }
    // Files the server verified by their digest.
    int verified() const { return verified_; }
    // Times the server was taken for a plain one, after offers answered plainly.
    int wentPlain() const { return wentPlain_; }
    // A keyed origin's datagrams that were neither sealed nor a header with its handshake.
    int sentInClear() const { return sentInClear_; }
    bool extendedTransfer() const { return extended_->sending(); }
    // Files under way in a session of several; the most at once so far.
    int underWay() const { return session_->underWay(); }
    int mostAtOnce() const { return mostAtOnce_; }

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
    // The first listed file, as the extended sender reads it.
    class FirstFile : public ExtFile {
    public:
        explicit FirstFile(ExtClientNode& node) : node_(node) {}
        std::optional<std::int64_t> length() override;
        std::optional<FileStamp> stamp() override;
        long read(char* into, std::size_t n, std::int64_t offset) override;

    private:
        ExtClientNode& node_;
    };
    // The outbox's files by name, as a session reads them.
    class OutboxFiles : public ExtFiles {
    public:
        explicit OutboxFiles(ExtClientNode& node) : node_(node) {}
        std::optional<std::int64_t> length(const std::string& name) override;
        std::optional<FileStamp> stamp(const std::string& name) override;
        long read(const std::string& name, char* into, std::size_t n, std::int64_t offset) override;

    private:
        ExtClientNode& node_;
    };
    enum class Wake { None, Loop, Wait, Pace, Timeout, Step };

    void start(Micros now);
    std::int64_t ms() const { return now_ / 1000; }
    std::optional<FileStamp> stampOf(const std::string& name) const;
    Wake due(Micros now, bool loopTicked, bool waitTicked) const;
    void scan();
    void sendLoop();
    void waitRanOut();
    void sendHeader();
    void sendContent(std::int64_t p);
    void finishFirst(bool plain);
    void nextAtOnce();
    void dropFirst();
    void stopWaiting();
    bool safeToDelete(const std::optional<FileStamp>& start, const std::string& name) const;
    void plainAnswer(const std::string& bytes);
    bool takeAcceptance(const std::string& bytes, std::int64_t p);
    void run(const PlainSender::Actions& actions);
    void perform(const SenderAction& action);
    void announce(const SenderAction& action);
    void runExtended(const ExtendedSender::Actions& actions);
    void performExtended(const ExtAction& action);
    bool sendPieces(const std::vector<ext::SendWindow::Piece>& pieces);
    void leaveExtended();
    void send(const std::string& bytes);
    // A session of several transfers, once the server granted them.
    void openSession(const ExtAction& granted);
    void offerMore();
    void runSession(const ExtendedSession::Actions& actions);
    void performSession(const SessionAction& action);
    bool sendSessionPieces(const SessionAction& action);
    void sessionDone(const SessionAction& action);
    ExtRandom extRandom();

    FileSystem& disk_;
    Settings settings_;
    Micros now_ = 0;
    PlainSender sender_{PlainSender::Settings{}};
    FirstFile firstFile_{*this};
    Random random_{1};
    std::unique_ptr<ExtendedSender> extended_;
    OutboxFiles outboxFiles_{*this};
    std::unique_ptr<ExtendedSession> session_;
    int mostAtOnce_ = 0;
    Timer loop_;
    Timer wait_;
    Micros paceDue_ = -1;
    Micros timeoutDue_ = -1;
    Micros stepDue_ = -1;
    std::int64_t stepTransfer_ = 0;
    std::vector<Listed> listed_;
    std::int64_t size_ = 0;
    std::vector<Datagram> outgoing_;
    std::vector<std::string> finished_;
    int headers_ = 0;
    int verified_ = 0;
    int wentPlain_ = 0;
    int sentInClear_ = 0;
};

} // namespace zelk::simtest
