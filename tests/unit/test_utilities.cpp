#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "syslog_capture.h"
#include "test_helpers.h"
#include "zolUrdaDumpHandler_common.h"

using Strings = std::vector<std::string>;

TEST(ExecuteCommand, ReportsTheRawStatusWordOfAFailure)
{
    SyslogCapture capture;
    EXPECT_TRUE(executeCommand("true"));
    EXPECT_FALSE(executeCommand("exit 1"));
    // Only the failure is traced.
    EXPECT_EQ(capture.errors(), Strings{"Failed to execute command exit 1, return code 256"});
}

TEST(GetFilesAndSize, ListsMatchesAndSumsTheirSizesFollowingLinksWrappingAt32Bits)
{
    TempDir dir;
    writeFile(dir / "a_dump", std::string(10, 'a'));
    writeFile(dir / "target", std::string(100, 't'));
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "b_link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "c_dangling").c_str()), 0);
    writeSparseFile(dir / "d_big", (uint64_t{1} << 32) - 1);
    writeSparseFile(dir / "e_big", 11);

    uint32_t total = 99; // set, not added to
    EXPECT_EQ(getFilesAndSize(dir / "*_*", total),
              (Strings{dir / "a_dump", dir / "b_link", dir / "c_dangling", dir / "d_big", dir / "e_big"}));
    // 10 + 100 (the link's target) + 0 (no target) + (2^32 - 1) + 11, modulo 2^32.
    EXPECT_EQ(total, 120u);
}

TEST(Naming, LinkTargetPrefixIsRelativeWhereTheDirectoriesShareALeadingPart)
{
    struct Row {
        const char *finalDir, *linkDir, *prefix;
    } rows[] = {
        {"/var/dumps/chips/", "/var/dumps/", "chips/"},
        {"/var/dumps/", "/var/dumps/links/", "../"},
        {"/var/dumps/core/", "/var/links/", "../dumps/core/"},
        {"/data/dumps/", "/var/links/", "/data/dumps/"},
        {"/var/dumps/", "/var/dumps/", ""},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(linkTargetPrefix(row.finalDir, row.linkDir), row.prefix) << row.finalDir << " " << row.linkDir;
    }
}

TEST(Configuration, LinesAreReadVerbatimUpToANulAndOnlyFromRegularFiles)
{
    TempDir dir;
    writeFile(dir / "crlf", "/var/links/\r\n 12abc\r\nignored\n");
    writeFile(dir / "one", "/var/links/");
    writeFile(dir / "nul", std::string("\0/links/\n7\0 8\n", 14));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(readConfigLines(dir / "crlf", 2), (Strings{"/var/links/\r", " 12abc\r"}));
    EXPECT_EQ(readConfigLines(dir / "one", 2), (Strings{"/var/links/", ""}));
    EXPECT_EQ(readConfigLines(dir / "nul", 2), (Strings{"", "7"}));
    EXPECT_EQ(readConfigLines(dir / "missing", 2), (Strings{"", ""}));
    // A FIFO would block the read until someone writes to it.
    EXPECT_EQ(readConfigLines(dir / "fifo", 2), (Strings{"", ""}));
}

TEST(Numbers, OneReaderLikeAtoiHeldAtTheLimitsOfEachUse)
{
    // text, configuration value (signed 32-bit), sequence number (unsigned 32-bit)
    const struct Row {
        const char *text;
        int32_t config;
        uint32_t seqNr;
    } rows[] = {
        {"3", 3, 3}, {"  +12abc", 12, 12}, {"\t-7", -7, 4294967289u}, {"letters", 0, 0}, {"", 0, 0},
        {"\r5", 5, 5}, {"5\r", 5, 5}, {"- 3", 0, 0}, {"007.gz", 7, 7},
        {"2147483647", 2147483647, 2147483647u}, {"2147483648", 2147483647, 2147483648u},
        {"4294967295", 2147483647, 4294967295u}, {"99999999999999999999999", 2147483647, 4294967295u},
        {"-1", -1, 4294967295u}, {"-2147483648", -2147483647 - 1, 2147483648u},
        {"-5000000000", -2147483647 - 1, 2147483648u}};
    for (const Row &row : rows) {
        EXPECT_EQ(configNumber(row.text), row.config) << row.text;
        EXPECT_EQ(seqNrNumber(row.text), row.seqNr) << row.text;
    }
}

TEST(MoveRecord, OnlyExactlyWhatWasWrittenIsEverRead)
{
    MoveRecord record;
    record.seqNr = 4294967295u;
    record.stored = true;
    record.sources["lm_dump"] = {SourceState::stored, {5368709120u, 0xdeadbeef}};
    record.sources["cm_dump"] = {};
    record.sources["te_log"] = {SourceState::moving, {0, 0}};
    const std::string text = formatMoveRecord(record);
    MoveRecord read;
    ASSERT_TRUE(parseMoveRecord(text, read)) << text;
    EXPECT_EQ(read.seqNr, record.seqNr);
    EXPECT_EQ(read.stored, record.stored);
    EXPECT_EQ(read.sources, record.sources);

    // Every cut, every changed byte and every foreign text is refused, and
    // a refused text leaves the caller's record as it was.
    MoveRecord untouched;
    for (size_t length = 0; length < text.size(); ++length) {
        EXPECT_FALSE(parseMoveRecord(text.substr(0, length), untouched)) << length;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        for (const char other : {'0', '7', 'x', ' ', '\n', '\0'}) {
            std::string garbled = text;
            garbled[i] = garbled[i] == other ? '1' : other;
            EXPECT_FALSE(parseMoveRecord(garbled, untouched)) << garbled;
        }
    }
    record.sources["info.txt"] = {};
    for (const std::string &foreign : {text + "\n", text + text, std::string("4\n"), formatMoveRecord(record)}) {
        EXPECT_FALSE(parseMoveRecord(foreign, untouched)) << foreign;
    }
    EXPECT_TRUE(untouched.sources.empty());
}
