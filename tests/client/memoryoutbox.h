#pragma once

// An outbox of files in memory, reached by name, for the session's core tests.

#include "extendedsession.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace zelktest {

class MemoryOutbox : public zelk::ExtFiles {
public:
    std::map<std::string, std::string> bytes;
    int lookups = 0; // lengths and stamps asked for: each is a look-up of the file's name
    std::optional<std::int64_t> length(const std::string& name) override {
        ++lookups;
        const auto it = bytes.find(name);
        return it == bytes.end() ? std::nullopt : std::optional<std::int64_t>(it->second.size());
    }
    std::optional<zelk::FileStamp> stamp(const std::string& name) override {
        const auto size = length(name);
        return size ? std::optional<zelk::FileStamp>(zelk::FileStamp{*size, 1, 1, 1, 1})
                    : std::nullopt;
    }
    long read(const std::string& name, char* into, std::size_t n, std::int64_t offset) override {
        const auto it = bytes.find(name);
        if (it == bytes.end() || offset > std::ssize(it->second)) {
            return -1;
        }
        const std::string part = it->second.substr(static_cast<std::size_t>(offset), n);
        std::copy(part.begin(), part.end(), into);
        return static_cast<long>(part.size());
    }
};

} // namespace zelktest
