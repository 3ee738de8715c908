#pragma once

#include <filesystem>
#include <string>

// Whether this process holds a descriptor on the file at `path` (also once it is deleted).
inline bool heldOpen(const std::string& path) {
    std::error_code error;
    const auto target = std::filesystem::weakly_canonical(path, error);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code readError;
        const auto link = std::filesystem::read_symlink(entry.path(), readError);
        if (!readError && (link == target || link.string() == target.string() + " (deleted)")) {
            return true;
        }
    }
    return false;
}
