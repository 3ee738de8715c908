#include "verifiedlist.h"

#include "secure.h"

#include <sodium.h>

#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace zelk {
namespace {

constexpr std::string_view kMagic = "zelk verified 1\n";
constexpr std::string_view kTemp = ".verified.zx-temp";
// kPerOrigin entries of a few origins at most; anything larger is not a list this server wrote.
constexpr std::size_t kLargestList = 64 << 20;

std::string hex(std::string_view bytes) {
    std::string text(2 * bytes.size() + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                   bytes.size());
    text.pop_back();
    return text;
}

// One entry a line, its fields apart by one blank; names in hexadecimal, so any byte goes.
std::string line(const VerifiedEntry& e) {
    const std::string_view digest(reinterpret_cast<const char*>(e.digest.data()), e.digest.size());
    return hex(e.origin) + ' ' + std::to_string(e.transfer) + ' ' + std::to_string(e.size) + ' ' +
           (e.keyId.empty() ? "-" : hex(e.keyId)) + ' ' + hex(digest) + ' ' + hex(e.file) + ' ' +
           std::to_string(e.inode) + ' ' + std::to_string(e.changedNs) + ' ' +
           std::to_string(e.verifiedMs) + '\n';
}

template <typename T> bool number(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size() && !text.empty();
}

std::optional<VerifiedEntry> parse(std::string_view text) {
    std::string_view fields[9];
    for (std::size_t i = 0; i < 9; ++i) {
        const std::size_t blank = i < 8 ? text.find(' ') : text.size();
        if (blank == std::string_view::npos) {
            return std::nullopt;
        }
        fields[i] = text.substr(0, blank);
        text.remove_prefix(i < 8 ? blank + 1 : blank);
    }
    VerifiedEntry e;
    const auto origin = ext::bytesOfHex(fields[0]);
    const auto key = fields[3] == "-" ? std::optional<std::string>("") : ext::bytesOfHex(fields[3]);
    const auto digest = ext::bytesOfHex(fields[4]);
    const auto file = ext::bytesOfHex(fields[5]);
    if (!origin || origin->size() != 10 || !key || (!key->empty() && key->size() != 8) || !digest ||
        digest->size() != e.digest.size() || !file || file->empty() ||
        !number(fields[1], e.transfer) || !number(fields[2], e.size) || e.size <= 0 ||
        !number(fields[6], e.inode) || !number(fields[7], e.changedNs) ||
        !number(fields[8], e.verifiedMs)) {
        return std::nullopt;
    }
    e.origin = *origin;
    e.keyId = *key;
    std::copy(digest->begin(), digest->end(), e.digest.begin());
    e.file = *file;
    return e;
}

} // namespace

void VerifiedList::add(VerifiedEntry entry) {
    Key key{entry.transfer, entry.origin};
    std::deque<std::uint64_t>& order = byOrigin_[entry.origin];
    if (entries_.insert_or_assign(key, std::move(entry)).second) {
        order.push_back(key.first);
    }
    if (order.size() > kPerOrigin) {
        entries_.erase(Key{order.front(), key.second});
        order.pop_front();
    }
}

const VerifiedEntry* VerifiedList::find(const VerifiedAsk& ask, std::int64_t nowMs) const {
    const auto found = entries_.find(Key{ask.transfer, std::string(ask.origin)});
    if (found == entries_.end()) {
        return nullptr;
    }
    const VerifiedEntry& e = found->second;
    const bool fresh = nowMs - e.verifiedMs < kKeepMs;
    return fresh && e.size == ask.size && e.keyId == ask.keyId ? &e : nullptr;
}

bool VerifiedList::holds(std::uint64_t transfer, std::string_view origin) const {
    return entries_.count(Key{transfer, std::string(origin)}) > 0;
}

std::vector<std::string> VerifiedList::originsOf(std::uint64_t transfer) const {
    std::vector<std::string> origins;
    for (auto it = entries_.lower_bound(Key{transfer, {}});
         it != entries_.end() && it->first.first == transfer; ++it) {
        origins.push_back(it->first.second);
    }
    return origins;
}

void VerifiedList::clear() {
    entries_.clear();
    byOrigin_.clear();
}

void VerifiedList::forgetOld(std::int64_t nowMs) {
    for (auto origin = byOrigin_.begin(); origin != byOrigin_.end();) {
        std::deque<std::uint64_t>& order = origin->second;
        while (!order.empty()) {
            const auto found = entries_.find(Key{order.front(), origin->first});
            if (found != entries_.end() && nowMs - found->second.verifiedMs < kKeepMs) {
                break;
            }
            if (found != entries_.end()) {
                entries_.erase(found);
            }
            order.pop_front();
        }
        origin = order.empty() ? byOrigin_.erase(origin) : std::next(origin);
    }
}

std::string VerifiedList::encode() const {
    std::string out(kMagic);
    std::size_t count = 0;
    for (const auto& [origin, order] : byOrigin_) {
        for (const std::uint64_t transfer : order) {
            const auto found = entries_.find(Key{transfer, origin});
            if (found != entries_.end()) {
                out += line(found->second);
                ++count;
            }
        }
    }
    out += "end " + std::to_string(count) + '\n';
    return out;
}

bool VerifiedList::decode(std::string_view text, std::int64_t nowMs) {
    clear();
    if (!text.starts_with(kMagic)) {
        return false;
    }
    text.remove_prefix(kMagic.size());
    std::size_t count = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            break;
        }
        const std::string_view row = text.substr(0, end);
        text.remove_prefix(end + 1);
        std::size_t declared = 0;
        if (row.starts_with("end ") && number(row.substr(4), declared)) {
            if (declared == count && text.empty()) {
                forgetOld(nowMs);
                return true;
            }
            break;
        }
        const auto entry = parse(row);
        if (!entry) {
            break;
        }
        add(*entry);
        ++count;
    }
    clear();
    return false;
}

bool VerifiedList::save(int folderFd, FileOps& ops, std::string& why) const {
    const std::string text = encode();
    const int fd = ::openat(folderFd, kTemp.data(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot create " + std::string(kTemp);
        return false;
    }
    const bool written =
        ops.pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
        ops.fdatasync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ops.renameat(folderFd, kTemp.data(), kFileName) != 0) {
        why = "cannot write " + std::string(kFileName);
        ::unlinkat(folderFd, kTemp.data(), 0);
        return false;
    }
    return true;
}

bool VerifiedList::load(int folderFd, std::int64_t nowMs, std::string& why) {
    clear();
    const int fd = ::openat(folderFd, kFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    std::string text(kLargestList + 1, '\0');
    const ssize_t n = ::pread(fd, text.data(), text.size(), 0);
    ::close(fd);
    if (n < 0 || static_cast<std::size_t>(n) > kLargestList) {
        why = std::string(kFileName) + " cannot be read or is too large";
        return false;
    }
    text.resize(static_cast<std::size_t>(n));
    if (!decode(text, nowMs)) {
        why = std::string(kFileName) + " is damaged";
        return false;
    }
    return true;
}

} // namespace zelk
