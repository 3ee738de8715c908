// The sample configurations that the package installs, read by the programs' own reader, and the
// help that tells where the configuration is read.

#include "config.h"
#include "testutil.h"

#include <QProcess>
#include <gtest/gtest.h>

namespace {

std::string sample(const char* name) {
    // Built up in place: GCC 12 takes the temporaries of a chain of + for an overflow at -O1.
    std::string path = ZELK_SOURCE_DIR "/packaging/";
    return path += name;
}

std::string help(const char* program) {
    QProcess process;
    process.start(qEnvironmentVariable("ZELK_BIN_DIR") + QLatin1Char('/') + QLatin1String(program),
                  {QStringLiteral("--help")});
    EXPECT_TRUE(process.waitForFinished(60000)) << program;
    EXPECT_EQ(process.exitCode(), 0) << program;
    return process.readAllStandardOutput().toStdString();
}

} // namespace

// Every key is set, the comments around them are ignored, and the values are those the comments
// describe (no comment text leaks into a value).
TEST(SampleConfigurations, SetEveryKeyAndNothingElse) {
    zelk::ServerConfig server;
    std::string error;
    ASSERT_TRUE(zelk::Lire_Config(sample("ServeurZelkFiles.cfg"), server, error)) << error;
    EXPECT_EQ(server.cfgPortUdp, "45000");
    EXPECT_EQ(server.cfgPortTcp, "45000");
    EXPECT_EQ(server.cfgRepertoire, "/var/lib/zelkfiles/inbox");
    EXPECT_EQ(server.cfgPaquetsMax, "9999");
    EXPECT_EQ(server.cfgTrace, "N");
    EXPECT_EQ(server.cfgAdresseEcoute, "");
    EXPECT_EQ(server.cfgEcouteTcp, "O");
    EXPECT_EQ(server.cfgExtension, "O");
    EXPECT_EQ(server.cfgStagingPlain, "N");
    EXPECT_EQ(server.cfgStagingAge, "259200");

    zelk::ClientConfig client;
    ASSERT_TRUE(zelk::Lire_Config(sample("ClientZelkFiles.cfg"), client, error)) << error;
    EXPECT_EQ(client.cfgRepertoire, "/var/lib/zelkfiles-client/outbox");
    EXPECT_EQ(client.cfgDelaiScan, "200");
    EXPECT_EQ(client.cfgDelaiAttente, "1000");
    EXPECT_TRUE(client.idOrigineLu);
    EXPECT_EQ(zelk::originIdentifier(client.cfgIdOrigine), "poste1    ");
    EXPECT_EQ(client.cfgAdresseDest, "127.0.0.1");
    EXPECT_EQ(client.cfgPortDest, "45000");
    EXPECT_EQ(client.cfgPortLocal, "0");
    EXPECT_EQ(client.cfgPaquetsMax, "9999");
    EXPECT_EQ(client.cfgExtension, "O");
    EXPECT_EQ(client.cfgTrace, "N");
}

// Every key the programs accept is set in its sample, and told in the README's table and in the
// reference of docs/configuration.md, each in its program's section; a key no program accepts
// appears in none of them.
TEST(SampleConfigurations, EveryKeyIsInTheSampleTheReadmeAndTheReference) {
    const std::string readme = zelktest::readFile(std::string(ZELK_SOURCE_DIR) + "/README.md");
    const std::string reference =
        zelktest::readFile(std::string(ZELK_SOURCE_DIR) + "/docs/configuration.md");
    const auto section = [](const std::string& text, const char* from, const char* to) {
        const std::size_t start = text.find(from);
        EXPECT_NE(start, std::string::npos) << from;
        return text.substr(start, text.find(to, start + 1) - start);
    };
    struct Program {
        const char* sample;
        const std::vector<std::string_view>& keys;
        std::string readme;
        std::string reference;
    };
    const Program programs[] = {
        {"ServeurZelkFiles.cfg", zelk::serverKeys(), section(readme, "## The server", "\n## "),
         section(reference, "## Server keys", "\n## ")},
        {"ClientZelkFiles.cfg", zelk::clientKeys(), section(readme, "## The client", "\n## "),
         section(reference, "## Client keys", "\n## ")},
    };
    for (const Program& program : programs) {
        const std::string text = zelktest::readFile(sample(program.sample));
        const auto values = zelk::keyValues(text, program.keys);
        for (const std::string_view key : program.keys) {
            const std::string cell = "| `" + std::string(key) + "` |";
            EXPECT_TRUE(values.contains(std::string(key))) << program.sample << " lacks " << key;
            EXPECT_NE(program.readme.find(cell), std::string::npos) << "README lacks " << key;
            EXPECT_NE(program.reference.find(cell), std::string::npos)
                << "configuration.md lacks " << key;
        }
        // Each sample line is a comment, blank, or a key of its program.
        std::size_t from = 0;
        while (from < text.size()) {
            const std::string line = text.substr(from, text.find('\n', from) - from);
            from += line.size() + 1;
            if (!line.empty() && line[0] != '#') {
                EXPECT_NE(std::find(program.keys.begin(), program.keys.end(),
                                    std::string_view(line).substr(0, zelk::kKeyWidth)),
                          program.keys.end())
                    << program.sample << ": " << line;
            }
        }
    }
}

TEST(Help, NamesEveryOptionAndWhereTheConfigurationIsRead) {
    const std::string bin = qEnvironmentVariable("ZELK_BIN_DIR").toStdString();
    for (const auto& [program, file] : {std::pair{"Serveur_ZelkFiles", "ServeurZelkFiles.cfg"},
                                        std::pair{"Client_ZelkFiles", "ClientZelkFiles.cfg"}}) {
        const std::string text = help(program);
        for (const char* option :
             {"--config FILE", "--headless", "--version", "--help", "--status", "--json"}) {
            EXPECT_NE(text.find(option), std::string::npos) << program << " " << option;
        }
        // The folder is the one the program really runs from.
        EXPECT_NE(text.find(bin + "/" + file), std::string::npos) << text;
        EXPECT_NE(text.find("Collecte_Trace="), std::string::npos) << text;
    }
}
