#pragma once

#include <cstddef>
#include <cstdint>

namespace zelk::ext {

// CRC-32C (Castagnoli), the checksum of iSCSI and SCTP: the machine's instruction when it has
// one, a table otherwise. `crc` is the value so far (0 to begin).
std::uint32_t crc32c(std::uint32_t crc, const void* data, std::size_t length);

} // namespace zelk::ext
