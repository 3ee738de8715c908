#include "digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <new>
#include <vector>

namespace zelk::ext {
namespace {

constexpr std::int64_t kLargestRead = 1 << 20;

} // namespace

struct RunningDigest::State {
    EVP_MD_CTX* context = nullptr;
    std::vector<char> buffer; // kept between catch-ups: one allocation per transfer

    State() : context(EVP_MD_CTX_new()) {
        if (context == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~State() { EVP_MD_CTX_free(context); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void begin() { EVP_DigestInit_ex(context, EVP_sha256(), nullptr); }
    void update(const char* bytes, std::size_t length) { EVP_DigestUpdate(context, bytes, length); }
};

RunningDigest::RunningDigest() : state_(std::make_unique<State>()) {
    state_->begin();
}

RunningDigest::~RunningDigest() = default;

bool RunningDigest::feed(std::int64_t offset, std::string_view bytes) {
    const auto end = offset + static_cast<std::int64_t>(bytes.size());
    if (offset > done_ || end <= done_) {
        return false;
    }
    const auto skip = static_cast<std::size_t>(done_ - offset);
    state_->update(bytes.data() + skip, bytes.size() - skip);
    done_ = end;
    return true;
}

bool RunningDigest::catchUp(std::int64_t upTo, std::int64_t budget, const Reader& read) {
    while (done_ < upTo && budget > 0) {
        const std::int64_t want = std::min({upTo - done_, budget, kLargestRead});
        if (state_->buffer.size() < static_cast<std::size_t>(want)) {
            state_->buffer.resize(static_cast<std::size_t>(want));
        }
        const long got = read(state_->buffer.data(), static_cast<std::size_t>(want), done_);
        if (got <= 0) {
            return false;
        }
        const std::int64_t used = std::min<std::int64_t>(got, want);
        state_->update(state_->buffer.data(), static_cast<std::size_t>(used));
        done_ += used;
        budget -= used;
        if (used < want) {
            return false;
        }
    }
    return true;
}

Digest RunningDigest::finish() {
    Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->context, digest.data(), &length);
    restart();
    return digest;
}

void RunningDigest::restart() {
    state_->begin();
    done_ = 0;
}

std::string digestHex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (unsigned char byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xFU];
    }
    return text;
}

} // namespace zelk::ext
