#include "filesystem.h"

#include "hashing.h"

#include <algorithm>
#include <utility>

namespace zelk::sim {

std::vector<std::string> FileSystem::list(const std::string& folder) const {
    std::vector<std::string> names;
    const auto found = folders_.find(folder);
    if (found != folders_.end()) {
        for (const auto& [name, entry] : found->second) {
            names.push_back(name);
        }
    }
    return names;
}

const FileSystem::Entry* FileSystem::entry(const std::string& folder,
                                           const std::string& name) const {
    const auto found = folders_.find(folder);
    if (found == folders_.end()) {
        return nullptr;
    }
    const auto entry = found->second.find(name);
    return entry == found->second.end() ? nullptr : &entry->second;
}

bool FileSystem::exists(const std::string& folder, const std::string& name) const {
    return entry(folder, name) != nullptr;
}

std::int64_t FileSystem::size(const std::string& folder, const std::string& name) const {
    const Entry* found = entry(folder, name);
    return found == nullptr ? -1 : static_cast<std::int64_t>(found->bytes.size());
}

const Bytes* FileSystem::file(const std::string& folder, const std::string& name) const {
    const Entry* found = entry(folder, name);
    return found == nullptr ? nullptr : &found->bytes;
}

std::optional<FileStat> FileSystem::stat(const std::string& folder, const std::string& name) const {
    const Entry* found = entry(folder, name);
    if (found == nullptr) {
        return std::nullopt;
    }
    return FileStat{static_cast<std::int64_t>(found->bytes.size()), found->identity,
                    found->modified};
}

std::optional<Bytes> FileSystem::read(const std::string& folder, const std::string& name,
                                      std::int64_t offset, std::int64_t length) const {
    const Bytes* bytes = file(folder, name);
    if (bytes == nullptr || offset < 0 || length < 0) {
        return std::nullopt;
    }
    const auto size = static_cast<std::int64_t>(bytes->size());
    const std::int64_t from = std::min(offset, size);
    const std::int64_t to = std::min(size, from + length);
    return Bytes(bytes->begin() + from, bytes->begin() + to);
}

Bytes& FileSystem::touch(const std::string& folder, const std::string& name) {
    Entry& entry = folders_[folder][name];
    entry.identity = entry.identity == 0 ? ++identities_ : entry.identity;
    entry.modified = ++changes_;
    return entry.bytes;
}

bool FileSystem::write(const std::string& folder, const std::string& name, std::int64_t offset,
                       std::span<const std::uint8_t> bytes) {
    if (offset < 0) {
        return false;
    }
    const std::int64_t before = std::max<std::int64_t>(size(folder, name), 0);
    const std::int64_t end = offset + static_cast<std::int64_t>(bytes.size());
    if (!grow(before, std::max(before, end))) {
        return false;
    }
    Bytes& target = touch(folder, name);
    if (before < end) {
        target.resize(static_cast<std::size_t>(end), 0);
    }
    std::copy(bytes.begin(), bytes.end(), target.begin() + offset);
    changed(folder, name);
    return true;
}

bool FileSystem::put(const std::string& folder, const std::string& name, Bytes content) {
    if (!grow(std::max<std::int64_t>(size(folder, name), 0),
              static_cast<std::int64_t>(content.size()))) {
        return false;
    }
    touch(folder, name) = std::move(content);
    changed(folder, name);
    return true;
}

bool FileSystem::truncate(const std::string& folder, const std::string& name, std::int64_t size) {
    const std::int64_t before = this->size(folder, name);
    if (before < 0 || size < 0 || !grow(before, size)) {
        return false;
    }
    touch(folder, name).resize(static_cast<std::size_t>(size), 0);
    changed(folder, name);
    return true;
}

bool FileSystem::rename(const std::string& folder, const std::string& from,
                        const std::string& toFolder, const std::string& to) {
    const Entry* found = entry(folder, from);
    if (found == nullptr) {
        return false;
    }
    if (folder == toFolder && from == to) {
        return true;
    }
    Entry moved = std::move(*const_cast<Entry*>(found)); // leaves no bytes behind to count
    erase(folder, from);
    erase(toFolder, to);
    folders_[toFolder][to] = std::move(moved);
    changed(folder, from);
    changed(toFolder, to);
    return true;
}

bool FileSystem::remove(const std::string& folder, const std::string& name) {
    if (!erase(folder, name)) {
        return false;
    }
    changed(folder, name);
    return true;
}

bool FileSystem::erase(const std::string& folder, const std::string& name) {
    const auto found = folders_.find(folder);
    if (found == folders_.end()) {
        return false;
    }
    const auto entry = found->second.find(name);
    if (entry == found->second.end()) {
        return false;
    }
    used_ -= static_cast<std::int64_t>(entry->second.bytes.size());
    found->second.erase(entry);
    if (found->second.empty()) {
        folders_.erase(found);
    }
    return true;
}

bool FileSystem::grow(std::int64_t before, std::int64_t after) {
    if (used_ - before + after > capacity_) {
        return false;
    }
    used_ += after - before;
    return true;
}

void FileSystem::changed(const std::string& folder, const std::string& name) const {
    if (observer_) {
        observer_(folder, name);
    }
}

std::uint64_t FileSystem::hash() const {
    Hash hash;
    for (const auto& [folder, files] : folders_) {
        hash.text(folder);
        for (const auto& [name, entry] : files) {
            hash.text(name);
            hash.bytes(entry.bytes);
        }
    }
    return hash.value();
}

} // namespace zelk::sim
