#include "testutil.h"

#include <QTcpServer>
#include <QUdpSocket>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

namespace zelktest {

ScratchDir::ScratchDir() {
    if (!dir_.isValid()) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    // ZELK_KEEP_SCRATCH=1 keeps the folder, its logs and files, to look into a failure.
    if (const char* keep = std::getenv("ZELK_KEEP_SCRATCH"); keep && std::string(keep) == "1") {
        dir_.setAutoRemove(false);
    }
}

std::string ScratchDir::path() const {
    return dir_.path().toStdString();
}

std::string ScratchDir::file(std::string_view name) const {
    return path() + "/" + std::string(name);
}

void ScratchDir::write(std::string_view name, std::string_view content) const {
    writeFile(file(name), content);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

unsigned short freeUdpPort() {
    QUdpSocket socket;
    return socket.bind(QHostAddress::Any, 0) ? socket.localPort() : 0;
}

unsigned short freeTcpPort() {
    QTcpServer server;
    return server.listen(QHostAddress::Any, 0) ? server.serverPort() : 0;
}

std::int64_t piecesEnd(int pieces, std::int64_t largest) {
    std::int64_t end = 0;
    for (int i = 0; i < pieces; ++i) {
        end += largest - i % 3;
    }
    return end;
}

std::string patternBytes(std::size_t length, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(length, '\0');
    for (auto& b : bytes) {
        b = static_cast<char>(gen() & 0xFF);
    }
    return bytes;
}

} // namespace zelktest
