#include "configcheck.h"

#include "codec.h"
#include "fsops.h"
#include "numeric.h"
#include "trace.h"

#include <fcntl.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

namespace zelk {
namespace {

constexpr std::int64_t kLargestPort = 65535;

struct Line {
    int number = 0;
    std::string_view text;
};

std::vector<Line> linesOf(std::string_view content) {
    std::vector<Line> lines;
    std::size_t start = 0;
    int number = 1;
    while (start < content.size()) {
        std::size_t end = content.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        lines.push_back(Line{number++, content.substr(start, end - start)});
        start = end + 1;
        if (end < content.size() && content[end] == '\r' && start < content.size() &&
            content[start] == '\n') {
            ++start;
        }
    }
    return lines;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool allOf(std::string_view text, const std::function<bool(char)>& test) {
    return !text.empty() && std::all_of(text.begin(), text.end(), test);
}

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// A number as written by someone who means one: an optional sign, digits with at most one point,
// an optional exponent, or &H hexadecimal or &O octal; blanks around it only.
bool cleanNumber(std::string_view text) {
    text = trimmed(text);
    if (text.size() > 2 && text[0] == '&' && (text[1] == 'H' || text[1] == 'h')) {
        return allOf(text.substr(2),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
    }
    if (text.size() > 2 && text[0] == '&' && (text[1] == 'O' || text[1] == 'o')) {
        return allOf(text.substr(2), [](char c) { return c >= '0' && c <= '7'; });
    }
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        text.remove_prefix(1);
    }
    const std::size_t exponent = text.find_first_of("eE");
    if (exponent != std::string_view::npos) {
        std::string_view power = text.substr(exponent + 1);
        if (!power.empty() && (power[0] == '+' || power[0] == '-')) {
            power.remove_prefix(1);
        }
        if (!allOf(power, isDigit)) {
            return false;
        }
        text = text.substr(0, exponent);
    }
    const std::size_t point = text.find('.');
    if (point == std::string_view::npos) {
        return allOf(text, isDigit);
    }
    const std::string_view whole = text.substr(0, point);
    const std::string_view part = text.substr(point + 1);
    return (whole.empty() || allOf(whole, isDigit)) && (part.empty() || allOf(part, isDigit)) &&
           !(whole.empty() && part.empty());
}

std::string lowerWithoutBlanks(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (!isBlank(c)) {
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return out;
}

std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The key a mistyped one most likely meant: the closest, if any is close.
std::string_view likelyKey(std::string_view written, const std::vector<std::string_view>& keys) {
    const std::string plain = lowerWithoutBlanks(written);
    std::string_view best;
    std::size_t bestDistance = 3;
    for (const std::string_view key : keys) {
        const std::size_t distance = editDistance(plain, lowerWithoutBlanks(key));
        if (distance < bestDistance) {
            best = key;
            bestDistance = distance;
        }
    }
    return best;
}

// A warning stays one readable line: control bytes escaped, a very long text cut.
std::string quoted(std::string_view text) {
    constexpr std::size_t kLongest = 80;
    const bool cut = text.size() > kLongest;
    std::string out(1, '"'); // appended to, not "\"" + ...: that trips a false -Wrestrict of GCC 12
    out += printable(text.substr(0, kLongest));
    out += cut ? "...\"" : "\"";
    return out;
}

std::string at(const Line& line) {
    return "line " + std::to_string(line.number) + ": ";
}

struct KeySet {
    const std::vector<std::string_view>& own;
    const std::vector<std::string_view>& other;
    const char* otherProgram;
    std::vector<std::string_view> numbers;
    std::vector<std::string_view> ports; // read exactly: a damaged port is an error
};

// Lines that name no key but look like one: the key meant, and where.
using Misspelt = std::vector<std::pair<std::string_view, std::string>>;

bool contains(const std::vector<std::string_view>& keys, std::string_view key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// "45OOO" read as 45 would put the program on a port nobody chose: a port is digits, or nothing.
void checkPortText(const Line& line, std::string_view key, std::string_view value,
                   ConfigFindings& found) {
    const std::string_view digits = trimmed(value);
    if (digits.empty() || allOf(digits, isDigit)) {
        return;
    }
    const std::string error = at(line) + std::string(key) + quoted(value) +
                              " is not a port number (digits only): the line is refused";
    found.errors.push_back(error);
    found.refusedAtStart.push_back(error);
}

void checkKeyOf(const Line& line, std::string_view text, const KeySet& keys, ConfigFindings& found,
                Misspelt& misspelt) {
    const std::string_view key = text.substr(0, kKeyWidth);
    if (contains(keys.own, key)) {
        const std::string_view value = text.substr(key.size());
        if (contains(keys.ports, key)) {
            checkPortText(line, key, value, found);
            return;
        }
        if (contains(keys.numbers, key) && !trimmed(value).empty() && !cleanNumber(value)) {
            found.warnings.push_back(at(line) + std::string(key) + quoted(value) +
                                     " is not a number: it is read as " +
                                     std::to_string(wholeValue(value)));
        }
        return;
    }
    const std::string_view body = trimmed(text);
    if (body.empty() || body[0] == '#' || body[0] == ';' ||
        body.find('=') == std::string_view::npos) {
        return; // a comment or a blank line
    }
    const std::string_view written = text.substr(0, text.find('=') + 1);
    std::string warning = at(line) + "unknown key " + quoted(written) + ", the line is ignored";
    if (std::find(keys.other.begin(), keys.other.end(), key) != keys.other.end()) {
        warning += " (a key of " + std::string(keys.otherProgram) + ")";
    } else if (const std::string_view meant = likelyKey(written, keys.own); !meant.empty()) {
        warning += "; did you mean " + quoted(meant) + "?";
        misspelt.emplace_back(meant,
                              "line " + std::to_string(line.number) + " (" + quoted(written) + ")");
    }
    found.warnings.push_back(warning);
}

// Findings shared by both programs: unknown keys, numbers that are not, damaged ports. Returns
// the lines that look like a key but are not one.
Misspelt checkLines(std::string_view content, const KeySet& keys, ConfigFindings& found) {
    Misspelt misspelt;
    for (const Line& line : linesOf(withoutByteOrderMark(content))) {
        checkKeyOf(line, line.text, keys, found, misspelt);
    }
    return misspelt;
}

// A port left empty takes one the system chooses, which no client knows: when a line that was
// not understood looks like its key, that line was surely meant to set it.
void checkMeantPort(const Misspelt& misspelt, std::string_view key, const std::string& value,
                    ConfigFindings& found) {
    if (!trimmed(value).empty()) {
        return;
    }
    for (const auto& [meant, where] : misspelt) {
        if (meant == key) {
            const std::string error = std::string(key) + " is not set, but " + where +
                                      " looks like it: the port would be one the system "
                                      "chooses, which no client knows; correct the key";
            found.errors.push_back(error);
            found.refusedAtStart.push_back(error);
            return;
        }
    }
}

void checkFolderText(std::string_view content, std::string_view key, ConfigFindings& found) {
    for (const Line& line : linesOf(content)) {
        if (line.text.substr(0, kKeyWidth) == key && !line.text.empty() &&
            isBlank(line.text.back())) {
            found.warnings.push_back(at(line) + "the folder " +
                                     quoted(line.text.substr(kKeyWidth)) +
                                     " ends with blanks, which are part of its name");
        }
    }
}

// Only a capital O turns the trace on: "o", "Oui" or "Y" are almost surely meant to.
void checkTraceSwitch(const std::string& value, ConfigFindings& found) {
    if (value != "O" && value != "N" && !value.empty()) {
        found.warnings.push_back("Collecte_Trace=" + quoted(value) +
                                 " is not O: the trace is off (errors and warnings only)");
    }
}

// Only "O" (or "o") stages plain transfers: "oui" or "Y" leave them visible as they grow.
void checkStagingSwitch(const std::string& value, ConfigFindings& found) {
    if (!value.empty() && value != "O" && value != "o" && value != "N" && value != "n") {
        found.warnings.push_back("stagingSimples=" + quoted(value) +
                                 " is not O: plain transfers are not staged");
    }
}

std::string stagingSettings(const ServerConfig& cfg) {
    const std::int64_t seconds = cfg.cfgStagingAge.empty() ? 0 : wholeValue(cfg.cfgStagingAge);
    const bool plain = cfg.cfgStagingPlain == "O" || cfg.cfgStagingPlain == "o";
    return "staging (stagingSimples=, ageMaxiStaging=): " +
           std::string(plain ? "every transfer" : "extended transfers only") +
           ", unused staging files removed after " +
           std::to_string(seconds > 0 ? seconds : kDefaultStagingAgeSeconds) + " s";
}

// Only "N" (or "n") turns the extension off: "non" or "off" leave it on.
void checkExtensionSwitch(const std::string& value, ConfigFindings& found) {
    if (!value.empty() && value != "O" && value != "o" && value != "N" && value != "n") {
        found.warnings.push_back("offreExtension=" + quoted(value) +
                                 " is not N: the extension stays on");
    }
}

std::string extensionSetting(const std::string& value) {
    return "extension (offreExtension=): " +
           std::string(extensionWanted(value) ? "on" : "off, plain protocol only");
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string userName() {
    const passwd* user = ::getpwuid(::geteuid());
    return user != nullptr ? user->pw_name : "uid " + std::to_string(::geteuid());
}

// Whether the user running the check may do `mode` there: the service may run as another user,
// which is why the message names this one.
void checkAccess(const std::string& path, int mode, const std::string& what,
                 ConfigFindings& found) {
    if (::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) != 0) {
        found.errors.push_back(
            what + ": " + userName() + " may not " +
            ((mode & R_OK) != 0 ? "read, write and delete in it" : "make a folder in it") + " (" +
            std::strerror(errno) + ")");
    }
}

std::string withoutTrailingSlashes(const std::string& path) {
    const std::size_t last = path.find_last_not_of('/');
    return last == std::string::npos ? std::string("/") : path.substr(0, last + 1);
}

bool madeByUnit(const std::string& parent, const std::vector<std::string>& unitMade) {
    const std::string folder = withoutTrailingSlashes(parent);
    return std::find(unitMade.begin(), unitMade.end(), folder) != unitMade.end();
}

// The programs make the folder itself, never its parents; a parent the unit makes at its first
// start (StateDirectory=) is as good as there.
void checkFolder(const std::string& path, const char* what, bool lookAtFolders,
                 const std::vector<std::string>& unitMade, ConfigFindings& found) {
    if (path.empty()) {
        found.errors.push_back(std::string("no ") + what + " is set (directoryFiles=)");
        return;
    }
    if (!lookAtFolders) {
        return;
    }
    const std::string named = std::string("the ") + what + " " + absolutePath(path);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            found.errors.push_back(named + " is not a folder");
        } else {
            checkAccess(path, R_OK | W_OK | X_OK, named, found);
        }
        return;
    }
    std::string parent = withoutTrailingSlashes(absolutePath(path));
    parent = parent.substr(0, parent.find_last_of('/') + 1);
    if (parent.empty() || madeByUnit(parent, unitMade)) {
        return;
    }
    if (isFolder(parent)) {
        checkAccess(parent, W_OK | X_OK, named + " cannot be made: its parent " + parent, found);
    } else if (::stat(parent.c_str(), &st) == 0) {
        found.errors.push_back(named + " cannot be made: its parent " + parent +
                               " is not a folder");
    } else {
        found.errors.push_back(named + " cannot be made: its parent " + parent + " does not exist");
    }
}

bool portIn(const std::string& text, std::int64_t lowest, std::int64_t& port) {
    port = wholeValue(text);
    return port >= lowest && port <= kLargestPort;
}

std::string traceSetting(const std::string& value) {
    return "trace (Collecte_Trace=): " +
           std::string(value == "O" ? "every event" : "off, errors and warnings only");
}

std::string journalSetting(const std::string& path) {
    return "transfer journal (journal_Transf=): " +
           (path.empty() ? std::string("none") : absolutePath(path));
}

// The command runs without a shell: it must be a program, named by its absolute path (a service's
// PATH and working folder are not the author's).
void checkCommand(const std::string& value, bool lookAtFolders, ConfigFindings& found) {
    const std::string command(trimmed(value));
    if (command.empty()) {
        return;
    }
    if (command.front() != '/') {
        found.errors.push_back("apresReception=" + quoted(value) +
                               " is not an absolute path to a program");
    } else if (lookAtFolders && ::access(command.c_str(), X_OK) != 0) {
        found.errors.push_back("apresReception=" + quoted(value) + ": " + userName() +
                               " may not run it (" + std::strerror(errno) + ")");
    }
}

std::string keySettings(const ServerConfig& cfg) {
    const std::int64_t evict = evictionSecondsOf(cfg.cfgEviction);
    return "keys (fichier_Cles_S=, sansCle_Servis=, inactifEvict_s=): " +
           (cfg.cfgFichierCles.empty() ? std::string("none") : cfg.cfgFichierCles) +
           (keylessServed(cfg.cfgSansCle) ? ", origins without a key served"
                                          : ", origins without a key refused") +
           (evict == 0
                ? std::string(", idle rows never evicted")
                : ", rows idle " + std::to_string(evict) + " s evicted when the table is full");
}

void serverSettings(const ServerConfig& cfg, const std::string& address, ConfigFindings& found) {
    const auto port = [](const std::string& text) {
        const std::int64_t value = wholeValue(text);
        return value == 0 ? std::string("a port the system chooses") : std::to_string(value);
    };
    found.settings.push_back("UDP port (receivePort_IP=): " + port(cfg.cfgPortUdp));
    found.settings.push_back("TCP port (receivePortTCP=): " +
                             (tcpIntakeWanted(cfg.cfgEcouteTcp)
                                  ? port(cfg.cfgPortTcp)
                                  : std::string("none, TCP intake off (ecoute_TCP_O_N=N)")));
    found.settings.push_back("address (adresse_Ecoute=): " +
                             (address.empty() ? std::string("every address") : address));
    found.settings.push_back("receive folder (directoryFiles=): " +
                             absolutePath(cfg.cfgRepertoire));
    found.settings.push_back(extensionSetting(cfg.cfgExtension));
    found.settings.push_back("files at once per origin (parOrigineMaxi=): " +
                             std::to_string(transfersPerOriginOf(cfg.cfgParOrigine)) +
                             ", for clients that ask to send several");
    found.settings.push_back(stagingSettings(cfg));
    found.settings.push_back(keySettings(cfg));
    found.settings.push_back(journalSetting(cfg.cfgJournal));
    const std::string_view command = trimmed(cfg.cfgApresReception);
    found.settings.push_back("command after each file (apresReception=): " +
                             (command.empty() ? std::string("none") : std::string(command)));
    found.settings.push_back(traceSetting(cfg.cfgTrace));
}

} // namespace

bool listenAddressText(const std::string& value, std::string& address) {
    address = std::string(trimmed(value));
    if (address.empty()) {
        return true;
    }
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    ::freeaddrinfo(found);
    return true;
}

ConfigFindings checkConfig(std::string_view content, const ServerConfig& cfg, bool lookAtFolders) {
    ConfigFindings found;
    const Misspelt misspelt =
        checkLines(content,
                   KeySet{serverKeys(),
                          clientKeys(),
                          "the client",
                          {"ageMaxiStaging=", "inactifEvict_s=", "parOrigineMaxi="},
                          {"receivePort_IP=", "receivePortTCP="}},
                   found);
    checkMeantPort(misspelt, "receivePort_IP=", cfg.cfgPortUdp, found);
    if (tcpIntakeWanted(cfg.cfgEcouteTcp)) {
        checkMeantPort(misspelt, "receivePortTCP=", cfg.cfgPortTcp, found);
    }
    checkFolderText(content, "directoryFiles=", found);
    checkTraceSwitch(cfg.cfgTrace, found);
    checkExtensionSwitch(cfg.cfgExtension, found);
    checkStagingSwitch(cfg.cfgStagingPlain, found);
    if (cfg.cfgEcouteTcp != "" && cfg.cfgEcouteTcp != "O" && cfg.cfgEcouteTcp != "N") {
        found.warnings.push_back("ecoute_TCP_O_N=" + quoted(cfg.cfgEcouteTcp) +
                                 " is neither O nor N: TCP intake stays on");
    }
    std::int64_t port = 0;
    if (!portIn(cfg.cfgPortUdp, 0, port)) {
        found.errors.push_back("UDP port " + quoted(cfg.cfgPortUdp) +
                               " is not a port number (0 to 65535)");
    }
    if (tcpIntakeWanted(cfg.cfgEcouteTcp) && !portIn(cfg.cfgPortTcp, 0, port)) {
        found.errors.push_back("TCP port " + quoted(cfg.cfgPortTcp) +
                               " is not a port number (0 to 65535)");
    }
    std::string address;
    if (!listenAddressText(cfg.cfgAdresseEcoute, address)) {
        found.errors.push_back("the address " + quoted(cfg.cfgAdresseEcoute) +
                               " (adresse_Ecoute=) is not an IPv4 or IPv6 address");
    }
    checkFolder(cfg.cfgRepertoire, "receive folder", lookAtFolders, unitMadeFolders(true), found);
    checkCommand(cfg.cfgApresReception, lookAtFolders, found);
    serverSettings(cfg, address, found);
    return found;
}

std::vector<std::string> unitMadeFolders(bool server) {
    std::vector<std::string> folders{server ? "/var/lib/zelkfiles" : "/var/lib/zelkfiles-client"};
    if (const char* named = std::getenv("STATE_DIRECTORY"); named != nullptr) {
        std::istringstream list(named);
        for (std::string folder; std::getline(list, folder, ':');) {
            if (!folder.empty()) {
                folders.push_back(withoutTrailingSlashes(folder));
            }
        }
    }
    return folders;
}

namespace {

std::string setOrNot(const std::string& value) {
    return trimmed(value).empty() ? std::string(" is missing or empty")
                                  : quoted(value) + " reads as 0";
}

void checkClientDefaults(const ClientConfig& cfg, ConfigFindings& found) {
    const ClientConfig effective = withClientDefaults(cfg);
    if (effective.cfgDelaiAttente != cfg.cfgDelaiAttente) {
        found.warnings.push_back(
            "attendApresSnd=" + setOrNot(cfg.cfgDelaiAttente) +
            ": the client would never announce a file again after a lost datagram; " +
            effective.cfgDelaiAttente + " ms is used");
    }
    if (effective.cfgPaquetsMax != cfg.cfgPaquetsMax) {
        found.warnings.push_back("paquets_UdpMax=" + setOrNot(cfg.cfgPaquetsMax) +
                                 ": pieces would be of 1 byte; " + effective.cfgPaquetsMax +
                                 " bytes are used");
    }
}

void clientWarnings(std::string_view content, const ClientConfig& cfg, ConfigFindings& found) {
    checkLines(content,
               KeySet{clientKeys(),
                      serverKeys(),
                      "the server",
                      {"vidangeDirFile=", "attendApresSnd=", "paquets_UdpMax=", "delaiStabilite=",
                       "tailleTrameZX1=", "debitMaxi_Mbit=", "transfertsMaxi="},
                      {"ip_portadresse=", "ip_port_locals="}},
               found);
    checkClientDefaults(cfg, found);
    checkFolderText(content, "directoryFiles=", found);
    checkTraceSwitch(cfg.cfgTrace, found);
    checkExtensionSwitch(cfg.cfgExtension, found);
    for (const Line& line : linesOf(content)) {
        const std::string_view value = line.text.substr(std::min(line.text.size(), kKeyWidth));
        if (line.text.substr(0, kKeyWidth) == "id_de_Lorigine=" && value.size() > kOriginWidth) {
            found.warnings.push_back(at(line) + "the origin identifier " + quoted(value) +
                                     " is longer than " + std::to_string(kOriginWidth) +
                                     " characters: it is cut to " +
                                     quoted(value.substr(0, kOriginWidth)));
        }
    }
    if (wholeValue(cfg.cfgDelaiScan) <= 0) {
        found.warnings.push_back("vidangeDirFile=" + quoted(cfg.cfgDelaiScan) +
                                 " reads as 0: the send loop never runs and nothing will ever "
                                 "be sent");
    }
    if (trimmed(cfg.cfgAdresseDest).empty()) {
        found.warnings.push_back("ip_destadresse= is empty: nothing can be sent");
    }
    const std::int64_t datagram = cfg.cfgTrameZX1.empty() ? 0 : wholeValue(cfg.cfgTrameZX1);
    if (datagram != 0 && datagram != extendedDatagramOf(cfg.cfgTrameZX1)) {
        found.warnings.push_back(
            "tailleTrameZX1=" + quoted(cfg.cfgTrameZX1) + " is outside " +
            std::to_string(kSmallestExtendedDatagram) + " to " + std::to_string(kLargestDatagram) +
            ": " + std::to_string(extendedDatagramOf(cfg.cfgTrameZX1)) + " bytes are used");
    }
}

void clientSettings(const ClientConfig& cfg, ConfigFindings& found) {
    const auto ms = [](const std::string& text) {
        return std::to_string(wholeValue(text)) + " ms";
    };
    const std::int64_t local = wholeValue(cfg.cfgPortLocal);
    const std::int64_t piece =
        std::clamp<std::int64_t>(roundHalfEven(numericValue(cfg.cfgPaquetsMax) - 1.0), 0, 9998) + 1;
    found.settings.push_back("outbox folder (directoryFiles=): " + absolutePath(cfg.cfgRepertoire));
    found.settings.push_back("send-loop interval (vidangeDirFile=): " + ms(cfg.cfgDelaiScan));
    found.settings.push_back("answer wait (attendApresSnd=): " + ms(cfg.cfgDelaiAttente));
    found.settings.push_back("origin (id_de_Lorigine=): " +
                             quoted(originIdentifier(cfg.cfgIdOrigine)));
    found.settings.push_back(
        "server (ip_destadresse=, ip_portadresse=): " + std::string(trimmed(cfg.cfgAdresseDest)) +
        " port " + std::to_string(wholeValue(cfg.cfgPortDest)));
    found.settings.push_back("local UDP port (ip_port_locals=): " +
                             (local == 0 ? std::string("any free port") : std::to_string(local)));
    found.settings.push_back("piece size (paquets_UdpMax=): " + std::to_string(piece) + " bytes");
    found.settings.push_back(extensionSetting(cfg.cfgExtension));
    found.settings.push_back("extended datagrams (tailleTrameZX1=): at most " +
                             std::to_string(extendedDatagramOf(cfg.cfgTrameZX1)) + " bytes");
    char cap[32] = "none";
    if (const double bytes = rateCapOf(cfg.cfgDebitMaxi); bytes > 0) {
        std::snprintf(cap, sizeof cap, "%g Mbit/s", bytes * 8 / 1e6);
    }
    found.settings.push_back(std::string("extension rate cap (debitMaxi_Mbit=): ") + cap);
    found.settings.push_back("files at once (transfertsMaxi=): " +
                             std::to_string(transfersOf(cfg.cfgTransfertsMaxi)));
    found.settings.push_back(
        "key (fichier_Cles_C=): " +
        (cfg.cfgFichierCle.empty()
             ? std::string("none, transfers neither authenticated nor encrypted")
             : cfg.cfgFichierCle));
    found.settings.push_back("settle time (delaiStabilite=): " +
                             (cfg.cfgDelaiStable.empty() ? std::to_string(kDefaultSettleMs) + " ms"
                                                         : ms(cfg.cfgDelaiStable)));
    found.settings.push_back(journalSetting(cfg.cfgJournal));
    found.settings.push_back(traceSetting(cfg.cfgTrace));
}

} // namespace

ConfigFindings checkConfig(std::string_view content, const ClientConfig& cfg, bool lookAtFolders) {
    ConfigFindings found;
    clientWarnings(content, cfg, found);
    if (!cfg.idOrigineLu) {
        found.errors.push_back("the configuration has no \"id_de_Lorigine=\" line, and every "
                               "datagram must carry the origin identifier");
    }
    std::int64_t port = 0;
    if (!portIn(cfg.cfgPortDest, 1, port)) {
        found.errors.push_back("the server port " + quoted(cfg.cfgPortDest) +
                               " (\"ip_portadresse=\") is not a port number (1 to 65535)");
    }
    if (!portIn(cfg.cfgPortLocal, 0, port)) {
        found.errors.push_back("the local UDP port " + quoted(cfg.cfgPortLocal) +
                               " (\"ip_port_locals=\") is not a port number (0 to 65535)");
    }
    checkFolder(cfg.cfgRepertoire, "outbox folder", lookAtFolders, unitMadeFolders(false), found);
    clientSettings(withClientDefaults(cfg), found);
    return found;
}

} // namespace zelk
