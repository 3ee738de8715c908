#include "config.h"

#include "codec.h"
#include "numeric.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
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

// A configuration file is a few hundred bytes; anything near this size is not one.
constexpr std::size_t kLargestConfigFile = 1 << 20;

std::string cannotRead(const std::string& path, int errorNumber) {
    return "cannot read configuration file " + path + ": " + std::strerror(errorNumber);
}

// Up to `limit` + 1 bytes of `fd`, so that a file that grew past the limit after fstat shows it.
bool readUpTo(int fd, std::size_t limit, std::string& bytes) {
    bytes.assign(limit + 1, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            bytes.resize(got);
            return n == 0;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool readRegular(int fd, const std::string& path, std::string& content, std::string& error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = cannotRead(path, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "configuration file " + path + " is not a regular file";
        return false;
    }
    const std::string tooLarge = "configuration file " + path + " is larger than 1 MiB";
    if (static_cast<std::uintmax_t>(st.st_size) > kLargestConfigFile) {
        error = tooLarge;
        return false;
    }
    if (!readUpTo(fd, kLargestConfigFile, content)) {
        error = cannotRead(path, errno);
        return false;
    }
    if (content.size() > kLargestConfigFile) {
        error = tooLarge;
        return false;
    }
    return true;
}

// Reads the whole file into `content`, which must be a regular file of at most 1 MiB: a device
// such as /dev/zero never ends, and a FIFO would hold the start-up until someone writes to it
// (hence the open without waiting, before the type is known).
bool readWhole(const std::string& path, std::string& content, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = cannotRead(path, errno);
        return false;
    }
    const bool read = readRegular(fd, path, content, error);
    ::close(fd);
    return read;
}

// Every key of each program, in the order its help lists them, and where its value goes: the
// reader, the help and the start-up check all take the keys from here.
std::vector<Binding> bindingsOf(ServerConfig& cfg) {
    return {
        {"receivePort_IP=", storeInto(cfg.cfgPortUdp)},
        {"receivePortTCP=", storeInto(cfg.cfgPortTcp)},
        {"adresse_Ecoute=", storeInto(cfg.cfgAdresseEcoute)},
        {"ecoute_TCP_O_N=", storeInto(cfg.cfgEcouteTcp)},
        {"directoryFiles=", storeInto(cfg.cfgRepertoire)},
        {"paquets_UdpMax=", storeInto(cfg.cfgPaquetsMax)},
        {"offreExtension=", storeInto(cfg.cfgExtension)},
        {"stagingSimples=", storeInto(cfg.cfgStagingPlain)},
        {"ageMaxiStaging=", storeInto(cfg.cfgStagingAge)},
        {"fichier_Cles_S=", storeInto(cfg.cfgFichierCles)},
        {"sansCle_Servis=", storeInto(cfg.cfgSansCle)},
        {"inactifEvict_s=", storeInto(cfg.cfgEviction)},
        {"parOrigineMaxi=", storeInto(cfg.cfgParOrigine)},
        {"journal_Transf=", storeInto(cfg.cfgJournal)},
        {"apresReception=", storeInto(cfg.cfgApresReception)},
        {"Collecte_Trace=", storeInto(cfg.cfgTrace)},
    };
}

std::vector<Binding> bindingsOf(ClientConfig& cfg) {
    auto storeIdentifier = [&cfg](std::string_view value) {
        cfg.cfgIdOrigine = originIdentifier(value);
        cfg.idOrigineLu = true;
    };
    return {
        {"directoryFiles=", storeInto(cfg.cfgRepertoire)},
        {"vidangeDirFile=", storeInto(cfg.cfgDelaiScan)},
        {"attendApresSnd=", storeInto(cfg.cfgDelaiAttente)},
        {"id_de_Lorigine=", storeIdentifier},
        {"ip_destadresse=", storeInto(cfg.cfgAdresseDest)},
        {"ip_portadresse=", storeInto(cfg.cfgPortDest)},
        {"ip_port_locals=", storeInto(cfg.cfgPortLocal)},
        {"paquets_UdpMax=", storeInto(cfg.cfgPaquetsMax)},
        {"delaiStabilite=", storeInto(cfg.cfgDelaiStable)},
        {"offreExtension=", storeInto(cfg.cfgExtension)},
        {"tailleTrameZX1=", storeInto(cfg.cfgTrameZX1)},
        {"debitMaxi_Mbit=", storeInto(cfg.cfgDebitMaxi)},
        {"transfertsMaxi=", storeInto(cfg.cfgTransfertsMaxi)},
        {"fichier_Cles_C=", storeInto(cfg.cfgFichierCle)},
        {"journal_Transf=", storeInto(cfg.cfgJournal)},
        {"Collecte_Trace=", storeInto(cfg.cfgTrace)},
    };
}

template <typename Config> std::vector<std::string_view> keysOf() {
    Config unused;
    std::vector<std::string_view> keys;
    for (const auto& binding : bindingsOf(unused)) {
        keys.push_back(binding.first);
    }
    return keys;
}

} // namespace

std::string_view withoutByteOrderMark(std::string_view content) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (content.substr(0, kBom.size()) == kBom) {
        content.remove_prefix(kBom.size());
    }
    return content;
}

void Lire_Config_Texte(std::string_view content, ServerConfig& cfg) {
    cfg.cfgTrace.assign(1, 'N'); // assign(1, c) dodges a false -Wrestrict of GCC 12
    applyLines(withoutByteOrderMark(content), bindingsOf(cfg));
}

void Lire_Config_Texte(std::string_view content, ClientConfig& cfg) {
    cfg.cfgTrace.assign(1, 'N'); // assign(1, c) dodges a false -Wrestrict of GCC 12
    applyLines(withoutByteOrderMark(content), bindingsOf(cfg));
}

ClientConfig withClientDefaults(ClientConfig cfg) {
    if (wholeValue(cfg.cfgDelaiAttente) <= 0) {
        cfg.cfgDelaiAttente = std::to_string(kDefaultAnswerWaitMs);
    }
    if (wholeValue(cfg.cfgPaquetsMax) <= 0) {
        cfg.cfgPaquetsMax = std::to_string(kMaxPayload);
    }
    return cfg;
}

bool extensionWanted(std::string_view cfgExtension) {
    return cfgExtension != "N" && cfgExtension != "n";
}

std::int64_t extendedDatagramOf(std::string_view setting) {
    const std::int64_t bytes = setting.empty() ? 0 : wholeValue(setting);
    if (bytes <= 0) {
        return kDefaultExtendedDatagram;
    }
    return std::clamp(bytes, kSmallestExtendedDatagram,
                      static_cast<std::int64_t>(kLargestDatagram));
}

double rateCapOf(std::string_view setting) {
    const double mbits = setting.empty() ? 0.0 : numericValue(setting);
    return mbits > 0 ? mbits * 1e6 / 8.0 : 0.0;
}

int transfersOf(std::string_view setting) {
    const std::int64_t count = setting.empty() ? 0 : wholeValue(setting);
    if (count <= 0) {
        return kDefaultTransfers;
    }
    return static_cast<int>(std::min<std::int64_t>(count, kMostTransfers));
}

bool readConfigFile(const std::string& path, std::string& content, std::string& error) {
    return readWhole(path, content, error);
}

std::map<std::string, std::string> keyValues(std::string_view content,
                                             const std::vector<std::string_view>& keys) {
    std::map<std::string, std::string> values;
    std::vector<Binding> bindings;
    for (const std::string_view key : keys) {
        bindings.emplace_back(key, [&values, key](std::string_view value) {
            values[std::string(key)] = std::string(value);
        });
    }
    applyLines(withoutByteOrderMark(content), bindings);
    return values;
}

const std::vector<std::string_view>& serverKeys() {
    static const std::vector<std::string_view> keys = keysOf<ServerConfig>();
    return keys;
}

const std::vector<std::string_view>& clientKeys() {
    static const std::vector<std::string_view> keys = keysOf<ClientConfig>();
    return keys;
}

bool keylessServed(std::string_view cfgSansCle) {
    return cfgSansCle != "N" && cfgSansCle != "n";
}

std::int64_t evictionSecondsOf(std::string_view setting) {
    if (setting.empty()) {
        return kDefaultEvictionSeconds;
    }
    return std::max<std::int64_t>(wholeValue(setting), 0);
}

std::int64_t transfersPerOriginOf(std::string_view setting) {
    if (setting.empty()) {
        return kDefaultTransfersPerOrigin;
    }
    return std::clamp<std::int64_t>(wholeValue(setting), 1, kMostTransfersPerOrigin);
}

bool tcpIntakeWanted(std::string_view cfgEcouteTcp) {
    return cfgEcouteTcp != "N";
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
