#include "system.h"

#include "staging.h"

#include <algorithm>

namespace zelk::simtest {

std::string Outcome::broke() const {
    std::string text;
    for (const std::string& fault : faults) {
        text += (text.empty() ? "" : "; ") + fault;
    }
    return text;
}

Bytes randomBytes(std::size_t size, std::uint64_t seed) {
    Random random(seed);
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random.next());
    }
    return bytes;
}

namespace {

// The programs' whole client and server; a plain side is one with the extension off, as
// "offreExtension=N" makes it.
std::unique_ptr<ExtClientNode> clientOf(const SystemSetup& setup, FileSystem& disk) {
    return std::make_unique<ExtClientNode>(
        disk, ExtClientNode::Settings{.server = System::kServer,
                                      .outbox = System::kOutbox,
                                      .pieceMax = setup.pieceMax,
                                      .waitMs = setup.waitMs,
                                      .loopMs = setup.loopMs,
                                      .seed = static_cast<std::uint32_t>(setup.scenario.seed),
                                      .extension = setup.client == Speaks::Extension,
                                      .key = setup.key,
                                      .extendedDatagram = setup.extendedDatagram,
                                      .transfers = setup.transfers,
                                      .firstFlight = setup.firstFlight});
}

std::unique_ptr<ExtServerNode> serverOf(const SystemSetup& setup, FileSystem& disk) {
    std::vector<ext::KeyLine> keys;
    if (setup.key && setup.server == Speaks::Extension) { // a plain server knows no key
        keys.push_back({*setup.key, "simclient "});
    }
    return std::make_unique<ExtServerNode>(
        disk, ExtServerNode::Settings{.folder = "in",
                                      .stagePlain = setup.stagePlain,
                                      .extension = setup.server == Speaks::Extension,
                                      .keys = keys,
                                      .seed = setup.scenario.seed,
                                      .publishDelay = setup.publishDelay});
}

} // namespace

System::System(const SystemSetup& setup)
    : setup_(setup), arrivals_(std::string("in/") + "simclient"), check_(serverDisk_, arrivals_),
      client_(clientOf(setup, clientDisk_)), server_(serverOf(setup, serverDisk_)),
      world_(setup.scenario.seed), clientId_(world_.add(*client_, kClient)),
      serverId_(world_.add(*server_, kServer)) {
    world_.traceTo(traceWanted());
    check_.ignore([](const std::string& name) { return isStagingName(name); });
    for (const FileDrop& file : setup.files) {
        if (file.content.empty()) {
            empties_.push_back(file.name);
        } else {
            check_.expect(file.name, file.content);
        }
        if (file.at == 0) {
            clientDisk_.put(kOutbox, file.name, file.content);
        } else {
            world_.at(file.at, [this, file] {
                clientDisk_.put(kOutbox, file.name, file.content);
                client_->outboxChanged(world_.now());
            });
        }
    }
    apply(world_, setup.scenario, clientId_, serverId_);
}

bool System::settled() const {
    return check_.settled(clientDisk_, kOutbox);
}

World::End System::run(const std::function<void()>& afterEachEvent) {
    return runSettled(world_, setup_.scenario, [&] {
        if (afterEachEvent) {
            afterEachEvent();
        }
        return settled();
    });
}

Outcome System::outcome(World::End end) const {
    Outcome outcome;
    for (std::string& problem : check_.problems(clientDisk_, kOutbox)) {
        if (problem.rfind("delivered ", 0) == 0) {
            ++outcome.redelivered;
        } else {
            outcome.faults.push_back(std::move(problem));
        }
    }
    for (const std::string& name : empties_) {
        if (!clientDisk_.exists(kOutbox, name)) {
            outcome.faults.push_back("empty file " + name + " left the outbox");
        }
        if (serverDisk_.exists(arrivals_, name)) {
            outcome.faults.push_back("empty file " + name + " sent");
        }
    }
    if (end == World::End::Runaway) {
        outcome.faults.push_back("ran away");
    }
    return outcome;
}

namespace {

std::size_t drawSize(Random& random, std::size_t piece) {
    switch (random.between(0, 7)) {
    case 0:
        return 1;
    case 1:
        return piece - 1;
    case 2:
        return piece;
    case 3:
        return piece + 1;
    case 4:
        return piece * static_cast<std::size_t>(random.between(2, 4));
    default:
        return static_cast<std::size_t>(random.between(2, static_cast<Micros>(6 * piece)));
    }
}

// Pieces that begin with "BEG" and end with "END", which the client must cut short.
Bytes headerLooking(std::size_t piece, std::uint64_t seed) {
    Bytes bytes = randomBytes(3 * piece, seed);
    const std::string beg = "BEG";
    const std::string end = "END";
    std::copy(beg.begin(), beg.end(), bytes.begin() + static_cast<std::ptrdiff_t>(piece));
    std::copy(end.begin(), end.end(), bytes.begin() + static_cast<std::ptrdiff_t>(2 * piece - 3));
    return bytes;
}

} // namespace

SystemSetup drawSetup(const Scenario& scenario) {
    Random random(streamSeed(scenario.seed, 0xf11e5));
    SystemSetup setup;
    setup.scenario = scenario;
    const std::size_t pieces[] = {500, 1000, 1400};
    setup.pieceMax = pieces[random.between(0, 2)];
    setup.waitMs = random.chance(0.5) ? 300 : 150;
    setup.stagePlain = random.chance(0.5);
    const auto count = static_cast<int>(random.between(3, 6));
    for (int i = 0; i < count; ++i) {
        const Micros at = i < count - 2 || random.chance(0.3) ? 0 : random.between(1, 5'000'000);
        std::string name = "f"; // step by step: GCC 12 warns falsely on a chain of additions
        name += std::to_string(i);
        name += ".bin";
        setup.files.push_back(
            {std::move(name), randomBytes(drawSize(random, setup.pieceMax), random.next()), at});
    }
    if (random.chance(0.2)) {
        setup.files.push_back({"empty.bin", {}, 0});
    }
    if (random.chance(0.2)) {
        setup.files.push_back({"begend.bin", headerLooking(setup.pieceMax, random.next()), 0});
    }
    return setup;
}

} // namespace zelk::simtest
