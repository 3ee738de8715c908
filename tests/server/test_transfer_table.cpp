#include "transfertable.h"

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
