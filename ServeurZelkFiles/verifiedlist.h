#pragma once

// Transfers the server verified lately. A sender whose final answer was lost announces its file
// again, or repeats its finish; it is told the file is held, and only the very origin (and, for a
// keyed origin, the very key) whose bytes were verified is told so, and only while the file
// under that name is still the one verified. Kept across restarts beside the staging records.

#include "digest.h"
#include "receivefolder.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk {

struct VerifiedEntry {
    std::string origin; // 10 characters
    std::uint64_t transfer = 0;
    std::int64_t size = 0;
    std::string keyId; // the key id's 8 bytes for a keyed origin; empty without a key
    ext::Digest digest{};
    std::string file;
    std::uint64_t inode = 0;     // of the file as it took its name
    std::int64_t changedNs = 0;  // its change time: a file written since is another file
    std::int64_t verifiedMs = 0; // since 1970
    bool operator==(const VerifiedEntry&) const = default;
};

// What a repeat must match: who asks, under which key, for which transfer of which size.
struct VerifiedAsk {
    std::string_view origin;
    std::uint64_t transfer = 0;
    std::int64_t size = 0;
    std::string_view keyId;
};

class VerifiedList {
public:
    // Long enough for every late repeat a client makes; memory bounded per origin.
    static constexpr std::int64_t kKeepMs = 2 * 3600 * 1000;
    static constexpr std::size_t kPerOrigin = 4096;
    // The file beside the staging records, in the receive folder: its ending is one no sender
    // may use.
    static constexpr const char* kFileName = ".verified.zx-list";

    void add(VerifiedEntry entry);
    const VerifiedEntry* find(const VerifiedAsk& ask, std::int64_t nowMs) const;
    // Whether an entry of any origin holds this identity (its session is then kept).
    bool holds(std::uint64_t transfer, std::string_view origin) const;
    // The origins with an entry for this identity.
    std::vector<std::string> originsOf(std::uint64_t transfer) const;
    std::size_t size() const { return entries_.size(); }
    void clear();

    std::string encode() const;
    // False, leaving the list empty, for a text that is not one whole list.
    bool decode(std::string_view text, std::int64_t nowMs);
    // Written under a temporary name, synced, renamed over the earlier one.
    bool save(int folderFd, FileOps& ops, std::string& why) const;
    // False with why for a list that is there but damaged; true when there is none.
    bool load(int folderFd, std::int64_t nowMs, std::string& why);

private:
    void forgetOld(std::int64_t nowMs);
    using Key = std::pair<std::uint64_t, std::string>; // transfer, origin
    std::map<Key, VerifiedEntry> entries_;
    std::map<std::string, std::deque<std::uint64_t>> byOrigin_; // oldest first
};

} // namespace zelk
