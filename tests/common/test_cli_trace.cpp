#include "cli.h"
#include "trace.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using zelk::Program;

TEST(Caption, CarriesTheVersionNumbers) {
    EXPECT_EQ(zelk::captionFor(Program::Client, 1, 0, 4),
              QStringLiteral("Client_ZelkFile - version: 1.0 révision: 4"));
    EXPECT_EQ(zelk::captionFor(Program::Client, 2, 13, 0),
              QStringLiteral("Client_ZelkFile - version: 2.13 révision: 0"));
    EXPECT_EQ(zelk::caption(Program::Server),
              QStringLiteral("Serveur_ZelkFile - version: 1.0 révision: 2"));
    EXPECT_EQ(zelk::caption(Program::Client),
              QStringLiteral("Client_ZelkFile - version: 1.0 révision: 4"));
}

namespace {

std::optional<zelk::CommandLine> parse(std::vector<std::string> words, int& exitCode) {
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    return zelk::parseCommandLine(static_cast<int>(argv.size()), argv.data(), Program::Server,
                                  exitCode);
}

} // namespace

TEST(CommandLine, OptionsAndDefaults) {
    int exitCode = -1;
    auto plain = parse({"prog"}, exitCode);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->headless);
    EXPECT_TRUE(plain->configPath.isEmpty());
    EXPECT_TRUE(zelk::configFilePath(*plain, Program::Server).endsWith("/ServeurZelkFiles.cfg"));

    auto full = parse({"prog", "--headless", "--config", "/etc/x.cfg"}, exitCode);
    ASSERT_TRUE(full);
    EXPECT_TRUE(full->headless);
    EXPECT_EQ(zelk::configFilePath(*full, Program::Server), QStringLiteral("/etc/x.cfg"));

    EXPECT_FALSE(parse({"prog", "--bogus"}, exitCode));
    EXPECT_EQ(exitCode, 2);
    EXPECT_FALSE(parse({"prog", "extra"}, exitCode));
    EXPECT_EQ(exitCode, 2);
    EXPECT_FALSE(parse({"prog", "--config"}, exitCode));
    EXPECT_EQ(exitCode, 2);
}

TEST(Trace, WritesOneEscapedLinePerEventOnlyWhenOn) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    zelk::Trace trace(sink);
    trace.write("silent", "x");
    EXPECT_FALSE(trace.enabled());
    trace.setEnabled(zelk::traceWanted("O"));
    trace.write("frame-dropped", "bad\nname\x01");
    std::rewind(sink);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, sink), nullptr);
    const std::string text = line;
    EXPECT_NE(text.find("frame-dropped bad\\x0Aname\\x01\n"), std::string::npos) << text;
    EXPECT_EQ(std::fgets(line, sizeof line, sink), nullptr);
    std::fclose(sink);
    EXPECT_FALSE(zelk::traceWanted("o"));
    EXPECT_FALSE(zelk::traceWanted("N"));
}
