#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace zelk::ext {

using Digest = std::array<unsigned char, 32>;

// SHA-256 of a file's bytes taken in order, fed as they become known: pieces handed over when they
// start where hashing stands, the rest read back. OpenSSL's libcrypto does the hashing.
class RunningDigest {
public:
    // Reads up to `length` bytes at 0-based `offset` into `into`; the count read, or -1.
    using Reader = std::function<long(char* into, std::size_t length, std::int64_t offset)>;

    RunningDigest();
    ~RunningDigest();
    RunningDigest(const RunningDigest&) = delete;
    RunningDigest& operator=(const RunningDigest&) = delete;

    // Bytes from `offset`: hashed when they begin at done() (the part past done() only when they
    // overlap it); true when hashing moved on.
    bool feed(std::int64_t offset, std::string_view bytes);
    // Reads and hashes from done() towards `upTo`, at most `budget` bytes; false when a read
    // fails or comes short.
    bool catchUp(std::int64_t upTo, std::int64_t budget, const Reader& read);
    std::int64_t done() const { return done_; }
    // The digest of the bytes [0, done()); hashing then starts again from 0.
    Digest finish();
    void restart();

private:
    struct State;
    std::unique_ptr<State> state_;
    std::int64_t done_ = 0;
};

std::string digestHex(const Digest& digest);

} // namespace zelk::ext
