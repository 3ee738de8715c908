#include "crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#define ZELK_CRC32C_X86 1
#endif

namespace zelk::ext {
namespace {

constexpr std::uint32_t kReflectedPolynomial = 0x82F63B78U;

constexpr std::array<std::uint32_t, 256> makeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1U) != 0 ? (value >> 1) ^ kReflectedPolynomial : value >> 1;
        }
        table[i] = value;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kTable = makeTable();

std::uint32_t byTable(std::uint32_t state, const unsigned char* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        state = kTable[(state ^ bytes[i]) & 0xFFU] ^ (state >> 8);
    }
    return state;
}

#ifdef ZELK_CRC32C_X86
__attribute__((target("sse4.2"))) std::uint32_t
byInstruction(std::uint32_t state, const unsigned char* bytes, std::size_t length) {
    std::uint64_t wide = state;
    for (; length >= 8; length -= 8, bytes += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes, sizeof word);
        wide = _mm_crc32_u64(wide, word);
    }
    auto narrow = static_cast<std::uint32_t>(wide);
    for (; length > 0; --length, ++bytes) {
        narrow = _mm_crc32_u8(narrow, *bytes);
    }
    return narrow;
}

bool hasInstruction() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

} // namespace

std::uint32_t crc32c(std::uint32_t crc, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::uint32_t state = ~crc;
#ifdef ZELK_CRC32C_X86
    if (hasInstruction()) {
        return ~byInstruction(state, bytes, length);
    }
#endif
    return ~byTable(state, bytes, length);
}

} // namespace zelk::ext
