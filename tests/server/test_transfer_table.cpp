#include "transfertable.h"

#include "serveurstate.h"
#include "status.h"

#include <QJsonArray>
#include <vector>

#include <gtest/gtest.h>

using zelk::TransferRow;
using zelk::TransferTable;

namespace {

TransferRow rowFor(std::string origin, std::string file = "f") {
    return TransferRow{std::move(origin), "127.0.0.1", 4000, std::move(file), 1, "10", 10};
}

} // namespace

TEST(TransferTable, RowsKeepTheirOrderAndLaterRowsMoveUpOnRemoval) {
    TransferTable table;
    ASSERT_TRUE(table.append(rowFor("a         ")));
    ASSERT_TRUE(table.append(rowFor("b         ")));
    ASSERT_TRUE(table.append(rowFor("c         ")));
    table.remove(0);
    EXPECT_EQ(table.count(), 2);
    EXPECT_EQ(table.findOrigin("b         "), 0);
    EXPECT_EQ(table.findOrigin("c         "), 1);
    table.replace(1, rowFor("c         ", "g"));
    table.setPosition(1, 501);
    EXPECT_EQ(table.at(1).file, "g");
    EXPECT_EQ(table.at(1).position, 501);
    table.replace(0, rowFor("d         "));
    EXPECT_EQ(table.findOrigin("b         "), -1);
    EXPECT_EQ(table.findOrigin("d         "), 0);
    EXPECT_FALSE(table.append(rowFor("c         "))) << "one row per origin";
    table.clear();
    EXPECT_EQ(table.findOrigin("d         "), -1);
}

TEST(TransferTable, OriginsAreComparedOnAllTenCharacters) {
    TransferTable table;
    table.append(rowFor("poste7    "));
    EXPECT_EQ(table.findOrigin("poste7"), -1);
    EXPECT_EQ(table.findOrigin("Poste7    "), -1);
    EXPECT_EQ(table.findOrigin("poste7    "), 0);
}

TEST(TransferTable, HoldsAtMost32767Rows) {
    TransferTable table;
    for (int i = 0; i < TransferTable::kMaxRows; ++i) {
        ASSERT_TRUE(table.append(rowFor(std::to_string(i))));
    }
    EXPECT_TRUE(table.full());
    EXPECT_FALSE(table.append(rowFor("one more")));
    EXPECT_EQ(table.count(), 32767);
    table.remove(5);
    EXPECT_TRUE(table.append(rowFor("one more")));
}

// A client that sends several files at once has a row per file: found by its identity, counted
// per origin, summed up for the window and the status.
TEST(TransferTable, AnOriginMayHaveARowPerTransferSummedUpAsOne) {
    TransferTable table;
    TransferRow first = rowFor("a         ", "f");
    first.transfer = 7;
    first.rateValue = 1000;
    TransferRow second = rowFor("a         ", "g");
    second.transfer = 8;
    second.rateValue = 500;
    second.lastFrameMs = 42;
    ASSERT_TRUE(table.append(first));
    ASSERT_TRUE(table.append(rowFor("b         ")));
    EXPECT_FALSE(table.append(second)) << "a second row only beside the others";
    ASSERT_TRUE(table.append(second, true));
    EXPECT_EQ(table.findOrigin("a         "), 0);
    EXPECT_EQ(table.findTransfer("a         ", 8), 2);
    EXPECT_EQ(table.findTransfer("b         ", 8), -1);
    EXPECT_EQ(table.countOf("a         "), 2);
    const auto origins = table.origins();
    ASSERT_EQ(origins.size(), 2U);
    EXPECT_EQ(origins[0].origin, "a         ");
    EXPECT_EQ(origins[0].transfers, 2);
    EXPECT_EQ(origins[0].rate, 1500);
    EXPECT_EQ(origins[0].lastFrameMs, 42);
    table.remove(0);
    EXPECT_EQ(table.findOrigin("a         "), 1);
    EXPECT_EQ(table.findTransfer("a         ", 8), 1);
    EXPECT_EQ(table.rowsOf("a         "), std::vector<int>{1});
}

// What a watching window and --status read: every row of an origin that sends several files, the
// rates as the window shows them, and a line for the origin.
TEST(ServerStatus, RowsOfOneOriginAllArriveAndRatesReadAsShown) {
    TransferTable table;
    TransferRow first = rowFor("a         ", "f");
    first.rate = "1.25 MB/s";
    TransferRow second = rowFor("a         ", "g");
    second.rate = "830 kB/s";
    const auto row = [](const TransferRow& from) {
        return QJsonObject{{"origin", QString::fromStdString(from.origin)},
                           {"file", QString::fromStdString(from.file)},
                           {"position", "1"},
                           {"total", "10"},
                           {"rate", QString::fromStdString(from.rate)},
                           {"extended", true}};
    };
    const QJsonObject state{
        {"udp", "UDP"},
        {"tcp", "TCP"},
        {"rows", QJsonArray{row(first), row(second)}},
        {"origins",
         QJsonArray{QJsonObject{{"origin", "a         "}, {"files", 2}, {"rate", "2080000"}}}}};
    zelk::rowsFromState(state, table);
    EXPECT_EQ(table.count(), 2);
    const std::string text = zelk::statusText(zelk::Program::Server, "cfg", 0, state);
    EXPECT_NE(text.find("\"f\" 0 of 10 bytes (0%), 1.25 MB/s"), std::string::npos) << text;
    EXPECT_NE(text.find("origin a         : 2 files under way, 2.08 MB/s"), std::string::npos)
        << text;
}
