#pragma once

#include <QTemporaryDir>
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

// Deterministic bytes of the given length (a seeded pattern).
std::string patternBytes(std::size_t length, unsigned seed = 1);

} // namespace zelktest
