#include "config.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

using zelk::ClientConfig;
using zelk::Lire_Config_Texte;
using zelk::ServerConfig;

TEST(ServerConfigReader, ReadsEveryKeyUnchanged) {
    ServerConfig cfg;
    Lire_Config_Texte("receivePort_IP= 5000\r\nreceivePortTCP=5001\r\ndirectoryFiles=/srv/in \r\n"
                      "paquets_UdpMax=1000\r\nCollecte_Trace=O",
                      cfg);
    EXPECT_EQ(cfg.cfgPortUdp, " 5000"); // value kept with its leading blank
    EXPECT_EQ(cfg.cfgPortTcp, "5001");
    EXPECT_EQ(cfg.cfgRepertoire, "/srv/in ");
    EXPECT_EQ(cfg.cfgPaquetsMax, "1000");
    EXPECT_EQ(cfg.cfgTrace, "O");
}

// The files one origin may send at once: read from its key, kept within what a client may ask.
TEST(ServerConfigReader, TransfersPerOriginAreReadWithinTheirBounds) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"", 160},
        {"parOrigineMaxi=8", 8},
        {"parOrigineMaxi=", 160},
        {"parOrigineMaxi=0", 1},
        {"parOrigineMaxi=-3", 1},
        {"parOrigineMaxi=5000", 1024},
    };
    for (const auto& [text, transfers] : cases) {
        ServerConfig cfg;
        Lire_Config_Texte(text, cfg);
        EXPECT_EQ(zelk::transfersPerOriginOf(cfg.cfgParOrigine), transfers) << text;
    }
}

TEST(ServerConfigReader, EmptyFileLeavesValuesEmptyAndTraceOff) {
    ServerConfig cfg;
    Lire_Config_Texte("", cfg);
    EXPECT_EQ(cfg.cfgPortUdp, "");
    EXPECT_EQ(cfg.cfgRepertoire, "");
    EXPECT_EQ(cfg.cfgTrace, "N");
}

TEST(ServerConfigReader, IgnoresLinesThatNameNoKeyExactly) {
    ServerConfig cfg;
    Lire_Config_Texte("RECEIVEPORT_IP=1\n receivePort_IP=2\nreceivePort_IP =3\nreceivePort\n"
                      "# receivePort_IP=4\nid_de_Lorigine=x\n",
                      cfg);
    EXPECT_EQ(cfg.cfgPortUdp, "");
}

TEST(ServerConfigReader, LastLineWinsAndKeyAloneEmptiesTheValue) {
    ServerConfig cfg;
    Lire_Config_Texte("directoryFiles=a\ndirectoryFiles=b\nreceivePort_IP=5000\nreceivePort_IP=",
                      cfg);
    EXPECT_EQ(cfg.cfgRepertoire, "b");
    EXPECT_EQ(cfg.cfgPortUdp, "");
}

TEST(ConfigReader, LinesEndAtCrLfLoneCrAndLoneLf) {
    ServerConfig cfg;
    Lire_Config_Texte("receivePort_IP=1\rreceivePortTCP=2\ndirectoryFiles=d\r\n\r\n"
                      "paquets_UdpMax=9",
                      cfg);
    EXPECT_EQ(cfg.cfgPortUdp, "1");
    EXPECT_EQ(cfg.cfgPortTcp, "2");
    EXPECT_EQ(cfg.cfgRepertoire, "d");
    EXPECT_EQ(cfg.cfgPaquetsMax, "9");
}

TEST(ClientConfigReader, ReadsEveryKey) {
    ClientConfig cfg;
    Lire_Config_Texte("directoryFiles=out\nvidangeDirFile=100\nattendApresSnd=2000\n"
                      "id_de_Lorigine=poste7\nip_destadresse=::1\nip_portadresse= 4000\n"
                      "ip_port_locals=4001\npaquets_UdpMax=1000\nCollecte_Trace=O\n",
                      cfg);
    EXPECT_EQ(cfg.cfgRepertoire, "out");
    EXPECT_EQ(cfg.cfgDelaiScan, "100");
    EXPECT_EQ(cfg.cfgDelaiAttente, "2000");
    EXPECT_EQ(cfg.cfgIdOrigine, "poste7    ");
    EXPECT_TRUE(cfg.idOrigineLu);
    EXPECT_EQ(cfg.cfgAdresseDest, "::1");
    EXPECT_EQ(cfg.cfgPortDest, " 4000");
    EXPECT_EQ(cfg.cfgPortLocal, "4001");
    EXPECT_EQ(cfg.cfgPaquetsMax, "1000");
    EXPECT_EQ(cfg.cfgTrace, "O");
}

// The files the extension sends at once: a missing or unusable value is the default, never 0.
TEST(ClientConfigReader, TransfersAtOnce) {
    ClientConfig cfg;
    Lire_Config_Texte("transfertsMaxi=1\n", cfg);
    EXPECT_EQ(cfg.cfgTransfertsMaxi, "1");
    const std::pair<const char*, int> cases[] = {
        {"", zelk::kDefaultTransfers},
        {"0", zelk::kDefaultTransfers},
        {"-3", zelk::kDefaultTransfers},
        {"1", 1},
        {"200", 200},
        {"5000", zelk::kMostTransfers},
    };
    for (const auto& [text, count] : cases) {
        EXPECT_EQ(zelk::transfersOf(text), count) << text;
    }
}

TEST(ClientConfigReader, IdentifierIsAlwaysTenCharacters) {
    struct Case {
        const char* line;
        const char* id;
    };
    for (const Case& c :
         {Case{"id_de_Lorigine=abc", "abc       "},
          Case{"id_de_Lorigine=abcdefghijklm", "abcdefghij"}, Case{"id_de_Lorigine=", "          "},
          Case{"id_de_Lorigine=0123456789", "0123456789"}}) {
        ClientConfig cfg;
        Lire_Config_Texte(c.line, cfg);
        EXPECT_EQ(cfg.cfgIdOrigine, c.id) << c.line;
        EXPECT_TRUE(cfg.idOrigineLu);
    }
    ClientConfig none;
    Lire_Config_Texte("directoryFiles=x", none);
    EXPECT_FALSE(none.idOrigineLu);
    EXPECT_EQ(none.cfgIdOrigine, "");
}

TEST(ConfigFile, MissingOrUnreadableFileIsAnError) {
    zelktest::ScratchDir dir;
    ServerConfig cfg;
    std::string error;
    EXPECT_FALSE(zelk::Lire_Config(dir.file("absent.cfg"), cfg, error));
    EXPECT_NE(error.find("absent.cfg"), std::string::npos);
    error.clear();
    EXPECT_FALSE(zelk::Lire_Config(dir.path(), cfg, error)); // a folder is no file
    EXPECT_FALSE(error.empty());
}

TEST(ConfigFile, ReadsFromDisk) {
    zelktest::ScratchDir dir;
    dir.write("c.cfg", "id_de_Lorigine=p1\r\nip_portadresse=4000");
    ClientConfig cfg;
    std::string error;
    ASSERT_TRUE(zelk::Lire_Config(dir.file("c.cfg"), cfg, error)) << error;
    EXPECT_EQ(cfg.cfgIdOrigine, "p1        ");
    EXPECT_EQ(cfg.cfgPortDest, "4000");
}

// /dev/zero once filled memory without end and a FIFO held the start-up for good: only a regular
// file of at most 1 MiB is read, and anything else is refused at once with the reason.
TEST(ConfigFile, OnlyARegularFileOfAtMostOneMebibyteIsRead) {
    zelktest::ScratchDir dir;
    struct Case {
        std::string path;
        std::function<void()> make;
        const char* reason; // empty: the file is read
    };
    const std::string fifo = dir.file("fifo.cfg");
    const std::string large = dir.file("large.cfg");
    const std::string limit = dir.file("limit.cfg");
    const std::string key = "receivePort_IP=4000\n";
    for (const Case& c : {
             Case{"/dev/zero", [] {}, "is not a regular file"},
             Case{fifo, [&] { ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0); },
                  "is not a regular file"},
             Case{large, [&] { zelktest::writeFile(large, std::string(2 << 20, '#')); },
                  "is larger than 1 MiB"},
             Case{large, [&] { zelktest::writeFile(large, key + std::string(1 << 20, '#')); },
                  "is larger than 1 MiB"},
             Case{limit,
                  [&] {
                      zelktest::writeFile(limit, key + std::string((1 << 20) - key.size(), '#'));
                  },
                  ""},
         }) {
        c.make();
        ServerConfig cfg;
        std::string error;
        const bool read = zelk::Lire_Config(c.path, cfg, error);
        if (*c.reason == '\0') {
            EXPECT_TRUE(read) << c.path << ": " << error;
            EXPECT_EQ(cfg.cfgPortUdp, "4000");
            continue;
        }
        EXPECT_FALSE(read) << c.path;
        EXPECT_NE(error.find(c.path + " " + c.reason), std::string::npos) << error;
        EXPECT_EQ(cfg.cfgPortUdp, "") << c.path;
    }
}
