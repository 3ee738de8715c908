#pragma once

// What a client that speaks the extension sends, built with the real codec: the offered header,
// the acceptance it expects, Data and Finish datagrams.

#include "harness.h"

#include "codec.h"
#include "digest.h"
#include "extcodec.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace servertest {

inline std::string offeredHeader(std::string_view name, std::uint64_t transfer, std::int64_t size) {
    return zelk::buildHeaderFrame(kPoste7, name, zelk::ext::plainSizeText(size),
                                  zelk::ext::offerField(zelk::ext::Offer{transfer, size}));
}

inline std::string accepted(std::uint64_t transfer, std::int64_t held) {
    return "PTE;" + std::to_string(held + 1) + ";END" + zelk::ext::acceptSuffix({transfer, held});
}

// Bytes [from, to) of `file`.
inline std::string data(std::uint64_t transfer, std::string_view file, std::int64_t from,
                        std::int64_t to) {
    std::string datagram;
    zelk::ext::encode(
        zelk::ext::Kind::Data, transfer, from,
        file.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from)), datagram);
    return datagram;
}

inline std::string finish(std::uint64_t transfer, std::string_view file) {
    zelk::ext::RunningDigest digest;
    digest.feed(0, file);
    const zelk::ext::Digest sum = digest.finish();
    std::string datagram;
    zelk::ext::encode(zelk::ext::Kind::Finish, transfer, static_cast<std::int64_t>(file.size()),
                      std::string_view(reinterpret_cast<const char*>(sum.data()), sum.size()),
                      datagram);
    return datagram;
}

} // namespace servertest
