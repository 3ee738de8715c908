#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zelk::sim {

using Bytes = std::vector<std::uint8_t>;

// What a program learns of a file without reading it: whether it is the same file (a rename keeps
// it, a file made anew under the name is another) and whether it changed since last seen.
struct FileStat {
    std::int64_t size = 0;
    std::uint64_t identity = 0; // as an inode number
    std::uint64_t modified = 0; // grows with every change to any file, as a clock would
};

// The disk of a simulated node: folders of named files, in memory. It outlives the node's crashes,
// so that a restarted core finds what it had written. Folders need no creating: a folder is there
// while it holds a file. Every call that can fail says so and then has changed nothing.
class FileSystem {
public:
    // Told of every change to a file (written, truncated, renamed away or onto, removed).
    using Observer = std::function<void(const std::string& folder, const std::string& name)>;

    std::vector<std::string> list(const std::string& folder) const; // sorted by name
    bool exists(const std::string& folder, const std::string& name) const;
    std::int64_t size(const std::string& folder, const std::string& name) const; // -1: missing
    const Bytes* file(const std::string& folder, const std::string& name) const;
    std::optional<FileStat> stat(const std::string& folder, const std::string& name) const;
    // Up to `length` bytes from `offset`, fewer at the file's end.
    std::optional<Bytes> read(const std::string& folder, const std::string& name,
                              std::int64_t offset, std::int64_t length) const;

    // Creates a missing file; a write past the end leaves zeros between, as a sparse file reads.
    bool write(const std::string& folder, const std::string& name, std::int64_t offset,
               std::span<const std::uint8_t> bytes);
    bool put(const std::string& folder, const std::string& name, Bytes content);
    bool truncate(const std::string& folder, const std::string& name, std::int64_t size);
    // Replaces whatever the target held, as a rename on one file system does.
    bool rename(const std::string& folder, const std::string& from, const std::string& toFolder,
                const std::string& to);
    bool remove(const std::string& folder, const std::string& name);

    // A write, put or truncate that would make the files hold more than this fails: a full disk,
    // and a bound on what a runaway core can take of the machine running the simulation.
    void setCapacity(std::int64_t bytes) { capacity_ = bytes; }
    std::int64_t used() const { return used_; }

    void setObserver(Observer observer) { observer_ = std::move(observer); }
    // Of every folder, name and byte: two runs that left the same disks have the same hash.
    std::uint64_t hash() const;

private:
    struct Entry {
        Bytes bytes;
        std::uint64_t identity = 0;
        std::uint64_t modified = 0;
    };
    const Entry* entry(const std::string& folder, const std::string& name) const;
    // The file, made when missing; its change noted.
    Bytes& touch(const std::string& folder, const std::string& name);
    bool erase(const std::string& folder, const std::string& name); // tells nobody
    void changed(const std::string& folder, const std::string& name) const;
    // Whether a file of `before` bytes may become `after` bytes long; if so, counts it.
    bool grow(std::int64_t before, std::int64_t after);

    std::map<std::string, std::map<std::string, Entry>> folders_;
    std::uint64_t identities_ = 0;
    std::uint64_t changes_ = 0;
    Observer observer_;
    std::int64_t capacity_ = std::int64_t{256} << 20;
    std::int64_t used_ = 0;
};

} // namespace zelk::sim
