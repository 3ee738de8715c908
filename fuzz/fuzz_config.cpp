// The configuration reader on arbitrary file contents, for both programs' keys, checked against a
// plain reading of the format: a line ends at CR LF, CR or LF; its first 15 characters are the
// key (a UTF-8 byte-order mark at the start skipped); the rest is the value, unchanged; the last
// line naming a key wins. Every value is also read as a number, as the programs do with ports,
// intervals and the piece size. The start-up check says each of its findings on one line,
// whatever the file holds.

#include "config.h"
#include "configcheck.h"
#include "fuzzcheck.h"
#include "numeric.h"

#include <map>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::string> lastValues(std::string_view content) {
    std::map<std::string, std::string> values;
    if (content.substr(0, 3) == "\xEF\xBB\xBF") {
        content.remove_prefix(3); // a byte-order mark is skipped
    }
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = start;
        while (end < content.size() && content[end] != '\r' && content[end] != '\n') {
            ++end;
        }
        const std::string_view line = content.substr(start, end - start);
        if (line.size() >= 15) {
            values[std::string(line.substr(0, 15))] = std::string(line.substr(15));
        }
        start = end + 1;
        if (end < content.size() && content[end] == '\r' && start < content.size() &&
            content[start] == '\n') {
            ++start;
        }
    }
    return values;
}

std::string expectedValue(const std::map<std::string, std::string>& values, const char* key,
                          const char* preset = "") {
    const auto found = values.find(key);
    return found == values.end() ? std::string(preset) : found->second;
}

void readAsNumbers(const std::vector<const std::string*>& settings) {
    for (const std::string* setting : settings) {
        const double value = zelk::numericValue(*setting);
        const std::int64_t whole = zelk::wholeValue(*setting);
        (void)value;
        (void)whole;
    }
}

void checkFindings(const zelk::ConfigFindings& found) {
    for (const auto* list : {&found.warnings, &found.errors}) {
        for (const std::string& line : *list) {
            FUZZ_CHECK(!line.empty() && line.find_first_of("\r\n") == std::string::npos);
        }
    }
}

void checkServer(std::string_view content, const std::map<std::string, std::string>& values) {
    zelk::ServerConfig cfg;
    zelk::Lire_Config_Texte(content, cfg);
    FUZZ_CHECK(cfg.cfgTrace == expectedValue(values, "Collecte_Trace=", "N"));
    FUZZ_CHECK(cfg.cfgPortUdp == expectedValue(values, "receivePort_IP="));
    FUZZ_CHECK(cfg.cfgPaquetsMax == expectedValue(values, "paquets_UdpMax="));
    FUZZ_CHECK(cfg.cfgRepertoire == expectedValue(values, "directoryFiles="));
    FUZZ_CHECK(cfg.cfgPortTcp == expectedValue(values, "receivePortTCP="));
    FUZZ_CHECK(cfg.cfgAdresseEcoute == expectedValue(values, "adresse_Ecoute="));
    FUZZ_CHECK(cfg.cfgEcouteTcp == expectedValue(values, "ecoute_TCP_O_N="));
    readAsNumbers({&cfg.cfgPortUdp, &cfg.cfgPortTcp, &cfg.cfgPaquetsMax});
    checkFindings(zelk::checkConfig(content, cfg, false));
}

void checkClient(std::string_view content, const std::map<std::string, std::string>& values) {
    zelk::ClientConfig cfg;
    zelk::Lire_Config_Texte(content, cfg);
    FUZZ_CHECK(cfg.cfgTrace == expectedValue(values, "Collecte_Trace=", "N"));
    FUZZ_CHECK(cfg.cfgRepertoire == expectedValue(values, "directoryFiles="));
    FUZZ_CHECK(cfg.cfgDelaiScan == expectedValue(values, "vidangeDirFile="));
    FUZZ_CHECK(cfg.cfgDelaiAttente == expectedValue(values, "attendApresSnd="));
    FUZZ_CHECK(cfg.cfgAdresseDest == expectedValue(values, "ip_destadresse="));
    FUZZ_CHECK(cfg.cfgPortDest == expectedValue(values, "ip_portadresse="));
    FUZZ_CHECK(cfg.cfgPortLocal == expectedValue(values, "ip_port_locals="));
    FUZZ_CHECK(cfg.cfgPaquetsMax == expectedValue(values, "paquets_UdpMax="));
    const bool identified = values.count("id_de_Lorigine=") != 0;
    FUZZ_CHECK(cfg.idOrigineLu == identified);
    if (identified) {
        FUZZ_CHECK(cfg.cfgIdOrigine ==
                   zelk::originIdentifier(expectedValue(values, "id_de_Lorigine=")));
        FUZZ_CHECK(cfg.cfgIdOrigine.size() == 10);
    }
    readAsNumbers({&cfg.cfgDelaiScan, &cfg.cfgDelaiAttente, &cfg.cfgPortDest, &cfg.cfgPortLocal,
                   &cfg.cfgPaquetsMax});
    checkFindings(zelk::checkConfig(content, cfg, false));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content = fuzz::bytesOf(data, size);
    const auto values = lastValues(content);
    checkServer(content, values);
    checkClient(content, values);
    return 0;
}
