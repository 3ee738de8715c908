#pragma once

// A file arriving under a hidden name of its own in its origin's folder, renamed to its real name
// only once whole (and, with the extension, verified), and the record kept beside it of what is
// safely on disk, from which a restarted server resumes the transfer.

#include "extcodec.h"
#include "receivefolder.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// ".<name>.zx-part": the file while it arrives. ".<name>.zx-state": what of it is on disk.
// ".<name>.zx-temp": the next record, until it is renamed over the previous one. Names ending in
// ".zx-list" are the server's own lists.
std::string stagingName(std::string_view file);
std::string stateName(std::string_view file);
// A name ending like any of the three: no sender may use one, so none collides with another
// file's staging.
bool isStagingName(std::string_view name);

// Which file a name holds: its inode and, where the file system tells it, its birth time. An
// inode number freed is soon given to the next file made, so the number alone does not tell a
// file from the one made in its place.
struct FileIdentity {
    std::uint64_t inode = 0;
    std::uint64_t born = 0; // nanoseconds since the epoch; 0 when the file system does not say
    bool operator==(const FileIdentity&) const = default;
};
// The regular file at `name` in the folder, not following a link; with an empty name, the file
// open at `fd` itself.
std::optional<FileIdentity> identityAt(int fd, const std::string& name);

struct StagingState {
    std::uint64_t transfer = 0; // the identity under which the bytes were written
    std::string origin;         // all 10 characters
    std::string file;
    std::int64_t size = 0;
    FileIdentity identity; // of the staging file the ranges describe
    std::vector<ext::Range> ranges;
    // The key id (8 bytes) of the key that proved the transfer; empty for an origin without a
    // key. Only a transfer under the same key takes the bytes up again.
    std::string keyId{};
    bool operator==(const StagingState&) const = default;
};

std::string encodeState(const StagingState& state);
// Nothing unless the text is one whole record: a record cut short by a crash is not one.
std::optional<StagingState> decodeState(std::string_view text);

// Writes the record under the temporary name, then renames it over the earlier one: a crash
// leaves one whole record or the other. The caller syncs the bytes it claims before.
bool writeState(int folderFd, const StagingState& state, FileOps& ops, std::string& why);
std::optional<StagingState> readState(int folderFd, std::string_view file);
void removeState(int folderFd, std::string_view file);

// Deletes staging files and records not touched for `ageSeconds`, in the receive folder and in
// each origin folder below it; `removed` hears each path deleted, relative to the receive folder.
void sweepStaging(int receiveFd, std::int64_t ageSeconds,
                  const std::function<void(const std::string&)>& removed);

} // namespace zelk
