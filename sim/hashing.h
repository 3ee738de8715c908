#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace zelk::sim {

// FNV-1a, 64 bits: a run's trace and a disk reduced to one number that two runs can compare.
class Hash {
public:
    void byte(std::uint8_t b) { value_ = (value_ ^ b) * 0x100000001b3ULL; }
    void number(std::uint64_t n) {
        for (int i = 0; i < 8; ++i) {
            byte(static_cast<std::uint8_t>(n >> (8 * i)));
        }
    }
    void bytes(std::span<const std::uint8_t> data) {
        number(data.size());
        for (const std::uint8_t b : data) {
            byte(b);
        }
    }
    void text(std::string_view s) {
        number(s.size());
        for (const char c : s) {
            byte(static_cast<std::uint8_t>(c));
        }
    }
    std::uint64_t value() const { return value_; }

private:
    std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

} // namespace zelk::sim
