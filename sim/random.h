#pragma once

#include "eventqueue.h"

#include <cstdint>
#include <random>

namespace zelk::sim {

// The one source of chance in a run. Its draws are made here rather than by the standard
// distributions, whose results differ between libraries: a seed replays on any build.
class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}

    std::uint64_t next() { return engine_(); }
    double unit() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    // A chance of 0 draws nothing, so that a fault left off does not shift the others' draws.
    bool chance(double p) { return p > 0 && unit() < p; }
    Micros between(Micros least, Micros most) {
        if (most <= least) {
            return least;
        }
        return least +
               static_cast<Micros>(engine_() % static_cast<std::uint64_t>(most - least + 1));
    }

private:
    std::mt19937_64 engine_;
};

// A seed of its own for each stream of a run (splitmix64), so that the streams do not follow one
// another and adding one leaves the others as they were.
inline std::uint64_t streamSeed(std::uint64_t seed, std::uint64_t stream) {
    std::uint64_t z = seed + 0x9e3779b97f4a7c15ULL * (stream + 1);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

} // namespace zelk::sim
