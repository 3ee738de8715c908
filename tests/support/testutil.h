#pragma once

#include <QTemporaryDir>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelktest {

// A scratch folder removed at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    std::string path() const;
    std::string file(std::string_view name) const;
    void write(std::string_view name, std::string_view content) const;

private:
    QTemporaryDir dir_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, std::string_view content);
// A UDP or TCP port that was free a moment ago (0 when none could be had).
unsigned short freeUdpPort();
unsigned short freeTcpPort();

// Where the client's first `pieces` pieces of at most `largest` bytes end on a quiet link: no two
// of three pieces in a row share a length, so they go largest, one byte less, two bytes less, and
// again.
std::int64_t piecesEnd(int pieces, std::int64_t largest);

// Deterministic bytes of the given length (a seeded pattern).
std::string patternBytes(std::size_t length, unsigned seed = 1);

} // namespace zelktest
