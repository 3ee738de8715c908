#include "config.h"

#include "codec.h"

#include <filesystem>

#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <utility>
#include <vector>

namespace zelk {
namespace {

using Binding = std::pair<std::string_view, std::function<void(std::string_view)>>;

// Calls `onLine` for each line; a line ends at CR LF, a lone CR or a lone LF.
template <typename F> void forEachLine(std::string_view content, F onLine) {
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            onLine(content.substr(start));
            return;
        }
        onLine(content.substr(start, end - start));
        start = end + 1;
        if (content[end] == '\r' && start < content.size() && content[start] == '\n') {
            ++start;
        }
    }
}

void applyLines(std::string_view content, const std::vector<Binding>& keys) {
    forEachLine(content, [&keys](std::string_view line) {
        const std::string_view key = line.substr(0, kKeyWidth);
        for (const auto& [name, store] : keys) {
            if (key == name) {
                store(line.substr(key.size()));
                return;
            }
        }
    });
}

auto storeInto(std::string& target) {
    return [&target](std::string_view value) { target.assign(value); };
}

bool readWhole(const std::string& path, std::string& content, std::string& error) {
    std::error_code ec;
    std::ifstream in(path, std::ios::binary);
    if (!in || std::filesystem::is_directory(path, ec)) {
        error = "cannot read configuration file " + path;
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read configuration file " + path;
        return false;
    }
    return true;
}

} // namespace

std::string originIdentifier(std::string_view value) {
    std::string id(value.substr(0, kOriginWidth));
    id.resize(kOriginWidth, ' ');
    return id;
}

void Lire_Config_Texte(std::string_view content, ServerConfig& cfg) {
    cfg.cfgTrace.assign(1, 'N'); // assign(1, c) dodges a false -Wrestrict of GCC 12
    applyLines(content, {
                            {"Collecte_Trace=", storeInto(cfg.cfgTrace)},
                            {"receivePort_IP=", storeInto(cfg.cfgPortUdp)},
                            {"paquets_UdpMax=", storeInto(cfg.cfgPaquetsMax)},
                            {"directoryFiles=", storeInto(cfg.cfgRepertoire)},
                            {"receivePortTCP=", storeInto(cfg.cfgPortTcp)},
                        });
}

void Lire_Config_Texte(std::string_view content, ClientConfig& cfg) {
    cfg.cfgTrace.assign(1, 'N'); // assign(1, c) dodges a false -Wrestrict of GCC 12
    auto storeIdentifier = [&cfg](std::string_view value) {
        cfg.cfgIdOrigine = originIdentifier(value);
        cfg.idOrigineLu = true;
    };
    applyLines(content, {
                            {"Collecte_Trace=", storeInto(cfg.cfgTrace)},
                            {"directoryFiles=", storeInto(cfg.cfgRepertoire)},
                            {"vidangeDirFile=", storeInto(cfg.cfgDelaiScan)},
                            {"attendApresSnd=", storeInto(cfg.cfgDelaiAttente)},
                            {"id_de_Lorigine=", storeIdentifier},
                            {"ip_destadresse=", storeInto(cfg.cfgAdresseDest)},
                            {"ip_portadresse=", storeInto(cfg.cfgPortDest)},
                            {"ip_port_locals=", storeInto(cfg.cfgPortLocal)},
                            {"paquets_UdpMax=", storeInto(cfg.cfgPaquetsMax)},
                        });
}

bool Lire_Config(const std::string& path, ServerConfig& cfg, std::string& error) {
    std::string content;
    if (!readWhole(path, content, error)) {
        return false;
    }
    Lire_Config_Texte(content, cfg);
    return true;
}

bool Lire_Config(const std::string& path, ClientConfig& cfg, std::string& error) {
    std::string content;
    if (!readWhole(path, content, error)) {
        return false;
    }
    Lire_Config_Texte(content, cfg);
    return true;
}

} // namespace zelk
