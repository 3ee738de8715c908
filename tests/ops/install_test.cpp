// The sample configurations that the package installs, read by the programs' own reader, and the
// help that tells where the configuration is read.

#include "config.h"
#include "testutil.h"

#include <QProcess>
#include <gtest/gtest.h>

namespace {

std::string sample(const char* name) {
    return std::string(ZELK_SOURCE_DIR) + "/packaging/" + name;
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

TEST(Help, NamesEveryOptionAndWhereTheConfigurationIsRead) {
    const std::string bin = qEnvironmentVariable("ZELK_BIN_DIR").toStdString();
    for (const auto& [program, file] : {std::pair{"Serveur_ZelkFiles", "ServeurZelkFiles.cfg"},
                                        std::pair{"Client_ZelkFiles", "ClientZelkFiles.cfg"}}) {
        const std::string text = help(program);
        for (const char* option : {"--config FILE", "--headless", "--version", "--help"}) {
            EXPECT_NE(text.find(option), std::string::npos) << program << " " << option;
        }
        // The folder is the one the program really runs from.
        EXPECT_NE(text.find(bin + "/" + file), std::string::npos) << text;
        EXPECT_NE(text.find("Collecte_Trace="), std::string::npos) << text;
    }
}
