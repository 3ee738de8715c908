#pragma once

#include "codec.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

inline constexpr const char* kServerConfigName = "ServeurZelkFiles.cfg";
inline constexpr const char* kClientConfigName = "ClientZelkFiles.cfg";
inline constexpr std::size_t kKeyWidth = 15;
inline constexpr std::int64_t kDefaultSettleMs = 2000;

// Settings of the receiving server, as the text written after each key.
struct ServerConfig {
    std::string cfgPortUdp;       // "receivePort_IP="
    std::string cfgPortTcp;       // "receivePortTCP="
    std::string cfgRepertoire;    // "directoryFiles=": the receive folder
    std::string cfgPaquetsMax;    // "paquets_UdpMax=": stored, unused by the server
    std::string cfgTrace;         // "Collecte_Trace=": "O" turns the trace on
    std::string cfgAdresseEcoute; // "adresse_Ecoute=": the one address to bind; empty: all
    std::string cfgEcouteTcp;     // "ecoute_TCP_O_N=": "N" turns TCP intake off
    // "offreExtension=": "N" keeps every client on the plain protocol; anything else lets those
    // that offer the extension use it.
    std::string cfgExtension;
    // "stagingSimples=": "O" makes plain transfers arrive under a staging name too, renamed once
    // whole; anything else leaves their files visible as they grow.
    std::string cfgStagingPlain;
    // "ageMaxiStaging=": seconds after which a staging file nobody resumed is deleted; empty or
    // missing: kDefaultStagingAgeSeconds.
    std::string cfgStagingAge;
    // "fichier_Cles_S=": the file of keys by origin; empty or missing: no origin has a key.
    std::string cfgFichierCles;
    // "sansCle_Servis=": "N" refuses every origin without a key; anything else serves them.
    std::string cfgSansCle;
    // "inactifEvict_s=": seconds a row must have been idle before a newcomer may take its place
    // when the table is full; empty or missing: kDefaultEvictionSeconds, 0: never.
    std::string cfgEviction;
    // "parOrigineMaxi=": how many files one origin's client may send at once, when it asks to
    // send several; empty or missing: kDefaultTransfersPerOrigin; at least 1.
    std::string cfgParOrigine;
    // "journal_Transf=": the file where one JSON line per file received is appended; empty or
    // missing: none.
    std::string cfgJournal;
    // "apresReception=": a program run with each file's final path once it is whole; empty or
    // missing: none.
    std::string cfgApresReception;
};

inline constexpr std::int64_t kDefaultEvictionSeconds = 600;
inline constexpr std::int64_t kDefaultTransfersPerOrigin = 160;
inline constexpr std::int64_t kMostTransfersPerOrigin = 1024;

inline constexpr std::int64_t kDefaultStagingAgeSeconds = 3 * 24 * 3600;
// 1500 bytes less an IPv6 header (40) and a UDP header (8): unfragmented on IPv4 and IPv6 alike.
inline constexpr std::int64_t kDefaultExtendedDatagram = 1452;
inline constexpr std::int64_t kSmallestExtendedDatagram = 576;

// Settings of the sending client, as the text written after each key.
struct ClientConfig {
    std::string cfgRepertoire;   // "directoryFiles=": the outbox folder
    std::string cfgDelaiScan;    // "vidangeDirFile=": interval of timLoopEnvoi, ms
    std::string cfgDelaiAttente; // "attendApresSnd=": interval of timAttente, ms
    std::string cfgIdOrigine;    // "id_de_Lorigine=": always 10 characters once read
    std::string cfgAdresseDest;  // "ip_destadresse=": server host
    std::string cfgPortDest;     // "ip_portadresse=": server UDP port
    std::string cfgPortLocal;    // "ip_port_locals=": local UDP port
    std::string cfgPaquetsMax;   // "paquets_UdpMax=": largest piece, bytes
    std::string cfgTrace;        // "Collecte_Trace="
    // "delaiStabilite=": where no file lease can be had, how long (ms) a file must stay unchanged
    // before it is sent; empty or missing: kDefaultSettleMs.
    std::string cfgDelaiStable;
    // "offreExtension=": "N" never offers the extension (the plain protocol only).
    std::string cfgExtension;
    // "tailleTrameZX1=": the largest extended datagram, bytes; empty or missing:
    // kDefaultExtendedDatagram, which crosses a 1500-byte path unfragmented.
    std::string cfgTrameZX1;
    // "debitMaxi_Mbit=": the most the extension sends, in Mbit/s; empty, missing or 0: no cap.
    std::string cfgDebitMaxi;
    // "transfertsMaxi=": the most files the extension sends at once; empty, missing or 0:
    // kDefaultTransfers.
    std::string cfgTransfertsMaxi;
    // "fichier_Cles_C=": the file holding this origin's key; empty or missing: no key, and
    // transfers are neither authenticated nor encrypted.
    std::string cfgFichierCle;
    // "journal_Transf=": the file where one JSON line per file sent is appended; empty: none.
    std::string cfgJournal;
    bool idOrigineLu = false; // an "id_de_Lorigine=" line was present
};

// Reads a configuration file. Returns false, with the reason in `error`, when the file cannot be
// read; every setting then keeps its earlier value.
bool Lire_Config(const std::string& path, ServerConfig& cfg, std::string& error);
bool Lire_Config(const std::string& path, ClientConfig& cfg, std::string& error);

// The whole file (a regular file of at most 1 MiB); false, with the reason, when it cannot be read.
bool readConfigFile(const std::string& path, std::string& content, std::string& error);

// The same readers over the file's bytes. Lines end at CR LF, a lone CR or a lone LF; a UTF-8
// byte-order mark at the start (some editors write one) is skipped.
void Lire_Config_Texte(std::string_view content, ServerConfig& cfg);
void Lire_Config_Texte(std::string_view content, ClientConfig& cfg);

// A file's bytes without the UTF-8 byte-order mark some editors put at its start.
std::string_view withoutByteOrderMark(std::string_view content);

// A client that never announces a file again after a lost datagram, or sends pieces of one byte,
// is never what a short configuration meant: a missing, empty or zero "attendApresSnd=" or
// "paquets_UdpMax=" takes the sample's value, kMaxPayload for the pieces (the start-up check warns
// about it).
inline constexpr std::int64_t kDefaultAnswerWaitMs = 1000;
ClientConfig withClientDefaults(ClientConfig cfg);

// "N" turns the extension off; anything else, a missing key included, leaves it on.
bool extensionWanted(std::string_view cfgExtension);
// "tailleTrameZX1=" as a datagram size: the default when empty or 0, else within
// [kSmallestExtendedDatagram, kLargestDatagram].
std::int64_t extendedDatagramOf(std::string_view setting);
// "debitMaxi_Mbit=" in bytes a second; 0 for no cap (empty, 0 or negative).
double rateCapOf(std::string_view setting);
// "transfertsMaxi=" as a count: the default when empty, 0 or negative, else within [1, 1024].
inline constexpr int kDefaultTransfers = 160;
inline constexpr int kMostTransfers = 1024;
int transfersOf(std::string_view setting);

// The value of each of `keys` that the file sets (the last line wins), read as the programs read.
std::map<std::string, std::string> keyValues(std::string_view content,
                                             const std::vector<std::string_view>& keys);

// Every key each program reads, in the order its help lists them.
const std::vector<std::string_view>& serverKeys();
const std::vector<std::string_view>& clientKeys();

// "N" in "sansCle_Servis=" refuses origins without a key; anything else serves them.
bool keylessServed(std::string_view cfgSansCle);
// "inactifEvict_s=" in seconds: the default when empty, 0 (never) when 0 or negative.
std::int64_t evictionSecondsOf(std::string_view setting);
// "parOrigineMaxi=" as a number from 1 to kMostTransfersPerOrigin.
std::int64_t transfersPerOriginOf(std::string_view setting);

// "N" in "ecoute_TCP_O_N=" turns TCP intake off; anything else leaves it on.
bool tcpIntakeWanted(std::string_view cfgEcouteTcp);

} // namespace zelk
