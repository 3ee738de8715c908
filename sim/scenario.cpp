#include "scenario.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <ostream>

namespace zelk::sim {

namespace {

// A fault is left out of a third of the scenarios, so that each is also seen alone.
double sometimes(Random& random, double most) {
    return random.chance(1.0 / 3) ? 0 : most * random.unit();
}

std::vector<Window> windows(Random& random, int most, Micros longest, Micros until) {
    std::vector<Window> drawn(static_cast<std::size_t>(random.between(0, most)));
    for (Window& window : drawn) {
        window.from = random.between(0, until);
        window.until = window.from + random.between(1, longest);
    }
    return drawn;
}

DirectionSettings drawDirection(const Family& family, Random& random) {
    DirectionSettings settings;
    settings.delay = random.between(family.delayMin, family.delayMax);
    settings.jitter = random.between(0, family.jitterMax);
    if (random.chance(0.5)) {
        settings.bytesPerSecond =
            family.rateMin + (family.rateMax - family.rateMin) * random.unit();
    }
    settings.loss = sometimes(random, family.loss);
    settings.duplicate = sometimes(random, family.duplicate);
    settings.reorder = sometimes(random, family.reorder);
    settings.late = sometimes(random, family.late);
    settings.lateMin = family.lateMin;
    settings.lateMax = family.lateMax;
    settings.cuts = windows(random, family.cutsMost, family.cutLongest, family.faultsUntil);
    settings.holds = windows(random, family.holdsMost, family.holdLongest, family.faultsUntil);
    return settings;
}

void drawOutages(std::vector<Outage>& into, Random& random, int most, Micros longest,
                 Micros until) {
    for (int node = 0; node < 2; ++node) {
        for (const Window& window : windows(random, most, longest, until)) {
            into.push_back(Outage{node, window});
        }
    }
}

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string seconds(Micros us) {
    return fixed(static_cast<double>(us) / 1e6, 3) + "s";
}

std::string both(const char* name, double forward, double backward, int decimals) {
    return std::string(name) + " " + fixed(forward, decimals) + "/" + fixed(backward, decimals);
}

std::string outages(const char* name, const std::vector<Outage>& list) {
    std::string text;
    for (const Outage& outage : list) {
        text += std::string(", ") + name + " " + std::to_string(outage.node) + "@" +
                seconds(outage.window.from) + "+" +
                seconds(outage.window.until - outage.window.from);
    }
    return text;
}

std::string listed(const char* what, const char* direction, const std::vector<Window>& list) {
    std::string text;
    for (const Window& window : list) {
        text += std::string(", ") + what + " " + direction + "@" + seconds(window.from) + "+" +
                seconds(window.until - window.from);
    }
    return text;
}

std::int64_t fromEnvironment(const char* name, std::int64_t otherwise) {
    const char* value = std::getenv(name);
    return value == nullptr || *value == '\0' ? otherwise : std::strtoll(value, nullptr, 10);
}

} // namespace

std::string Scenario::describe() const {
    const DirectionSettings& f = forward;
    const DirectionSettings& b = backward;
    return both("loss", f.loss, b.loss, 3) + ", " + both("dup", f.duplicate, b.duplicate, 3) +
           ", " + both("reorder", f.reorder, b.reorder, 3) + ", " +
           both("late", f.late, b.late, 3) + ", " +
           both("delay ms", static_cast<double>(f.delay) / 1e3, static_cast<double>(b.delay) / 1e3,
                1) +
           ", " +
           both("jitter ms", static_cast<double>(f.jitter) / 1e3,
                static_cast<double>(b.jitter) / 1e3, 1) +
           ", " + both("rate kB/s", f.bytesPerSecond / 1e3, b.bytesPerSecond / 1e3, 0) +
           listed("cut", "fwd", f.cuts) + listed("cut", "back", b.cuts) +
           listed("hold", "fwd", f.holds) + listed("hold", "back", b.holds) +
           outages("stall", stalls) + outages("crash", crashes);
}

Scenario drawScenario(const Family& family, std::uint64_t seed) {
    Random random(streamSeed(seed, 0x5ce7a210));
    Scenario scenario;
    scenario.seed = seed;
    scenario.forward = drawDirection(family, random);
    scenario.backward = drawDirection(family, random);
    drawOutages(scenario.stalls, random, family.stallsMost, family.stallLongest,
                family.faultsUntil);
    drawOutages(scenario.crashes, random, family.crashesMost, family.downLongest,
                family.faultsUntil);
    scenario.deadline = family.deadline;
    scenario.linger = family.linger;
    return scenario;
}

World::End runSettled(World& world, const Scenario& scenario,
                      const std::function<bool()>& settled) {
    const World::End end = world.run(scenario.deadline, settled);
    if (end != World::End::Done) {
        return end;
    }
    const Micros until = std::min(world.now() + scenario.linger, scenario.deadline);
    return world.run(until) == World::End::Runaway ? World::End::Runaway : end;
}

void apply(World& world, const Scenario& scenario, NodeId first, NodeId second) {
    world.link(first, second, scenario.forward, scenario.backward);
    const NodeId nodes[] = {first, second};
    for (const Outage& stall : scenario.stalls) {
        world.stall(nodes[stall.node], stall.window.from, stall.window.until);
    }
    for (const Outage& crash : scenario.crashes) {
        world.crash(nodes[crash.node], crash.window.from, crash.window.until);
    }
}

Summary runScenarios(const Family& family, std::uint64_t first, int count,
                     const ScenarioCheck& check, std::ostream& report) {
    const std::int64_t alone = fromEnvironment("ZELK_SIM_SEED", -1);
    if (alone >= 0) {
        first = static_cast<std::uint64_t>(alone);
        count = 1;
    } else {
        count = static_cast<int>(fromEnvironment("ZELK_SIM_SCENARIOS", count));
    }
    Summary summary;
    for (int i = 0; i < count; ++i) {
        const Scenario scenario = drawScenario(family, first + static_cast<std::uint64_t>(i));
        const std::string broke = check(scenario);
        const std::string line =
            "sim seed " + std::to_string(scenario.seed) + ": " + scenario.describe() + ": ";
        ++summary.ran;
        if (!broke.empty()) {
            summary.failures.push_back(line + broke);
            report << summary.failures.back() << '\n';
        } else if (alone >= 0) {
            report << line << "every invariant held\n"; // a replay shows what it ran
        }
    }
    return summary;
}

std::ostream* traceWanted() {
    const char* value = std::getenv("ZELK_SIM_TRACE");
    return value == nullptr || *value == '\0' ? nullptr : &std::cerr;
}

} // namespace zelk::sim
