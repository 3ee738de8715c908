#include "fsops.h"

#include "testutil.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace zelk;
using zelktest::readFile;
using zelktest::ScratchDir;

TEST(FileServices, WritesAtOneBasedOffsetsAndExtendsWithZeros) {
    ScratchDir dir;
    const std::string path = dir.file("f.bin");
    std::string error;
    ASSERT_TRUE(writeAt(path, 1, "abc", error)) << error;
    ASSERT_TRUE(writeAt(path, 4, "def", error));
    EXPECT_EQ(readFile(path), "abcdef");
    ASSERT_TRUE(writeAt(path, 2, "X", error)); // overwrites, keeps the rest
    EXPECT_EQ(readFile(path), "aXcdef");
    ASSERT_TRUE(writeAt(path, 10, "Z", error));
    EXPECT_EQ(readFile(path), std::string("aXcdef\0\0\0Z", 10));
    EXPECT_FALSE(writeAt(path, 0, "a", error));
}

TEST(FileServices, WriteFailuresAreReported) {
    ScratchDir dir;
    std::string error;
    EXPECT_FALSE(writeAt(dir.file("missing/f"), 1, "a", error));
    EXPECT_FALSE(error.empty());
    ASSERT_TRUE(createFolder(dir.file("sub"), error));
    EXPECT_FALSE(writeAt(dir.file("sub"), 1, "a", error)); // a folder in the way
}

TEST(FileServices, ReadsARangeOfBytes) {
    ScratchDir dir;
    dir.write("r", "0123456789");
    char buffer[8];
    EXPECT_EQ(readAt(dir.file("r"), 3, buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "3456");
    EXPECT_EQ(readAt(dir.file("r"), 8, buffer, 8), 2u);
    EXPECT_EQ(readAt(dir.file("r"), 20, buffer, 8), 0u);
    EXPECT_FALSE(readAt(dir.file("absent"), 0, buffer, 8));
    EXPECT_FALSE(readAt(dir.file("r"), -1, buffer, 8));
}

TEST(FileServices, FoldersFilesAndLengths) {
    ScratchDir dir;
    std::string error;
    EXPECT_TRUE(folderExists(dir.path()));
    EXPECT_FALSE(createFolder(dir.file("a/b"), error)); // one level only
    EXPECT_TRUE(createFolder(dir.file("a"), error));
    EXPECT_FALSE(createFolder(dir.file("a"), error));
    EXPECT_FALSE(createFolder("", error));
    dir.write("one", "1");
    dir.write("empty", "");
    dir.write("a/inner", "x");
    EXPECT_TRUE(fileExists(dir.file("one")));
    EXPECT_FALSE(fileExists(dir.file("a")));
    EXPECT_FALSE(folderExists(dir.file("one")));
    EXPECT_EQ(fileLength(dir.file("one")), 1);
    EXPECT_EQ(fileLength(dir.file("empty")), 0);
    EXPECT_FALSE(fileLength(dir.file("a")));
    EXPECT_FALSE(fileLength(dir.file("none")));

    auto names = listFiles(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"empty", "one"}));
    EXPECT_TRUE(listFiles(dir.file("none")).empty());

    EXPECT_TRUE(deleteFile(dir.file("one")));
    EXPECT_FALSE(fileExists(dir.file("one")));
    EXPECT_FALSE(deleteFile(dir.file("one")));
    EXPECT_EQ(joinPath("in", "f"), "in/f");
    EXPECT_EQ(joinPath("in/", "f"), "in/f");
}

TEST(FileServices, NamesAreBytes) {
    ScratchDir dir;
    std::string error;
    const std::string name = "r\xc3\xa9sum\xc3\xa9 \xe2\x82\xac.txt";
    ASSERT_TRUE(writeAt(joinPath(dir.path(), name), 1, "x", error));
    EXPECT_EQ(listFiles(dir.path()), std::vector<std::string>{name});
}
