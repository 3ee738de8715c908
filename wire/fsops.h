#pragma once

// File-system services. Paths are byte strings joined with "/".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

std::string joinPath(std::string_view folder, std::string_view name);
// A relative path joined to the working folder, as messages name it (a service's working folder
// is not the one the configuration's author had in mind); an absolute or empty path as it is.
std::string absolutePath(const std::string& path);

bool folderExists(const std::string& path);
// Creates one folder level (the parent must exist).
bool createFolder(const std::string& path, std::string& error);
// True for an existing entry that is not a folder.
bool fileExists(const std::string& path);
// Names of the files directly in a folder (no subfolders), in the system's order.
std::vector<std::string> listFiles(const std::string& folder);
std::optional<std::int64_t> fileLength(const std::string& path);
bool deleteFile(const std::string& path);

// Writes `bytes` so that the first lands at 1-based `offset1`, creating the file when missing,
// keeping what it holds and extending it with zero bytes when the offset lies past its end.
bool writeAt(const std::string& path, std::int64_t offset1, std::string_view bytes,
             std::string& error);

// Reads up to `size` bytes from 0-based `offset0` into `out`; the count read, or nothing on error.
std::optional<std::size_t> readAt(const std::string& path, std::int64_t offset0, char* out,
                                  std::size_t size);

} // namespace zelk
