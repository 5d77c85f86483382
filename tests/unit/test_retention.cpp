#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "syslog_capture.h"
#include "test_helpers.h"
#include "zolUrdaDumpHandler_common.h"

namespace {

constexpr off_t kMiB = 1024 * 1024;
using Strings = std::vector<std::string>;

// A final dump directory, a link directory and chip 3's intermediate dump area.
class Retention : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.path().empty());
        mkdir((m_dir / "final").c_str(), 0755);
        mkdir(m_links.c_str(), 0755);
        mkdir((m_dir / "mosa3").c_str(), 0755);
        m_handler.finalDumpFilePath = m_dir / "final/";
        m_handler.m_maxDiskSpace = 0xFFFFFFFFu;
    }

    void addSet(uint32_t seqNr, off_t lmSize = 1, off_t cmSize = 1, off_t teSize = 1)
    {
        const std::string n = std::to_string(seqNr);
        writeSparseFile(final("lm_3-" + n + ".gz"), lmSize);
        writeSparseFile(final("cm_3-" + n + ".gz"), cmSize);
        writeSparseFile(final("te_3-" + n + ".log"), teSize);
    }

    std::string final(const std::string &name) const { return m_dir / ("final/" + name); }

    std::set<std::string> finalFiles() const
    {
        std::set<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(final(""))) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    std::set<uint32_t> remainingSets() const
    {
        std::set<uint32_t> sets;
        for (const std::string &name : finalFiles()) {
            if (name.rfind("lm_3-", 0) == 0) {
                sets.insert(static_cast<uint32_t>(std::stoul(name.substr(5))));
            }
        }
        return sets;
    }

    uint32_t removeOldDumps(uint32_t maxDumps) { return m_handler.removeOldDumps(m_links, maxDumps); }

    TempDir m_dir;
    // A blank in its name: every run must clean this directory, never a namesake.
    const std::string m_links = m_dir / "links x/";
    SyslogCapture m_syslog;
    DumpHandler m_handler{3, m_dir / "mosa3/", ""};
};

} // namespace

TEST_F(Retention, WorkedExampleKeepsTheNewestSetThatFitsTheBudget)
{
    addSet(4);
    addSet(5);
    addSet(6, 10 * kMiB, 10 * kMiB, 10 * kMiB);
    addSet(7, 20 * kMiB, 10 * kMiB, 10 * kMiB);
    writeSparseFile(m_dir / "mosa3/lm_dump", 50 * kMiB);
    m_handler.m_maxDiskSpace = 100 * kMiB;

    EXPECT_EQ(removeOldDumps(2), 8u);
    EXPECT_EQ(remainingSets(), (std::set<uint32_t>{7}));
}

TEST_F(Retention, NumbersComeFromThisChipsNamesReadAsDecimalAndTheNewestSetsAreKept)
{
    writeFile(final("lm_13-5.gz"), "chip 13 is another chip");
    writeFile(final("lm_3-x.gz"), "no sequence number");
    EXPECT_EQ(removeOldDumps(4), 1u) << "no set of this chip: the numbering starts at 1";
    addSet(0);
    EXPECT_EQ(removeOldDumps(4), 2u) << "set 0 alone lies below the window";
    EXPECT_EQ(finalFiles(), (std::set<std::string>{"lm_13-5.gz", "lm_3-x.gz"}));

    addSet(3);
    addSet(9);
    writeFile(final("lm_3-010.gz"), "leading zeros are decimal, not octal");
    writeFile(final("em_3-12.gz.old"), "the pattern is not anchored");
    EXPECT_EQ(removeOldDumps(4), 13u);
    EXPECT_EQ(finalFiles(), (std::set<std::string>{"lm_3-9.gz", "cm_3-9.gz", "te_3-9.log", "lm_3-010.gz",
                                                   "em_3-12.gz.old", "lm_13-5.gz", "lm_3-x.gz"}));
}

TEST_F(Retention, VisitsAtMostTwentySetsPerRun)
{
    for (uint32_t seqNr = 1; seqNr <= 25; ++seqNr) {
        addSet(seqNr);
    }
    EXPECT_EQ(removeOldDumps(2), 26u);
    EXPECT_EQ(remainingSets(), (std::set<uint32_t>{21, 22, 23, 24, 25}));
    EXPECT_EQ(m_syslog.errors(), Strings{"Iterator counter over 20!"});
    EXPECT_EQ(removeOldDumps(2), 26u);
    EXPECT_EQ(remainingSets(), (std::set<uint32_t>{24, 25}));
}

TEST_F(Retention, DiskBudgetDeletesUntilTheSumIsBelowIt)
{
    for (uint32_t seqNr = 1; seqNr <= 3; ++seqNr) {
        addSet(seqNr, 10 * kMiB, 0, 0);
    }
    m_handler.m_maxDiskSpace = 20 * kMiB; // exactly sets 2 and 3: equal is not below
    EXPECT_EQ(removeOldDumps(10), 4u);
    EXPECT_EQ(remainingSets(), (std::set<uint32_t>{3}));

    m_handler.m_maxDiskSpace = 0; // nothing fits, the newest set included
    EXPECT_EQ(removeOldDumps(10), 4u);
    EXPECT_EQ(remainingSets(), std::set<uint32_t>{});

    // Huge files saturate the sum instead of hiding behind a wrapped size.
    addSet(1, 1, 1, 1);
    addSet(2, (off_t{5} << 30), 1, 1); // 5 GiB: wrapped it would look like 1 GiB
    m_handler.m_maxDiskSpace = 2u << 30;
    EXPECT_EQ(removeOldDumps(10), 3u);
    EXPECT_EQ(remainingSets(), std::set<uint32_t>{});
}

TEST_F(Retention, UnreadableSizesAndUndeletableFilesAreTracedAndCounted)
{
    ASSERT_EQ(symlink("/nonexistent/dump", final("lm_3-1.gz").c_str()), 0);
    writeFile(final("te_3-1.log"), "trace");
    mkdir(final("cm_3-1.gz").c_str(), 0755);
    writeFile(final("cm_3-1.gz/keep"), "a non-empty directory carrying a dump name");
    addSet(2, 0, 0, 0);
    m_handler.m_maxDiskSpace = 32 * kMiB; // set 1 counts 32 MiB for its unreadable lm file

    EXPECT_EQ(removeOldDumps(5), 3u);
    EXPECT_EQ(finalFiles(), (std::set<std::string>{"cm_3-1.gz", "lm_3-2.gz", "cm_3-2.gz", "te_3-2.log"}));
    EXPECT_EQ(m_syslog.errors(), (Strings{"Unable to get size of lm_3-1.gz",
                                          "Failed to remove file: cm_3-1.gz, errno = Directory not empty"}));
}

TEST_F(Retention, DeadLinksAreCleanedBelowTheLinkDirectoryOnly)
{
    const std::string namesake = m_dir / "links/";
    mkdir(namesake.c_str(), 0755);
    mkdir((m_links + "sub").c_str(), 0755);
    addSet(1);
    for (const std::string &dead : {m_links + "dead", m_links + "sub/dead", namesake + "dead"}) {
        ASSERT_EQ(symlink(final("lm_3-0.gz").c_str(), dead.c_str()), 0);
    }
    ASSERT_EQ(symlink(final("lm_3-1.gz").c_str(), (m_links + "valid").c_str()), 0);

    EXPECT_EQ(removeOldDumps(5), 2u);
    EXPECT_FALSE(pathExists(m_links + "dead"));
    EXPECT_FALSE(pathExists(m_links + "sub/dead"));
    EXPECT_TRUE(pathExists(m_links + "valid"));
    EXPECT_TRUE(pathExists(namesake + "dead"));
    EXPECT_EQ(remainingSets(), std::set<uint32_t>{1});
}

TEST_F(Retention, SuccessiveMovesNeverReuseANumberWhateverTheNamesHold)
{
    // Foreign names and marker contents beyond the signed 32-bit range: the
    // numbering goes on past the top and round the circle, each move under a
    // number that no file of the chip carries, the newest sets kept.
    const std::vector<std::vector<std::string>> starts = {
        {"te_3-99999999999.log"}, {"lm_3-2147483646.gz", "lm_3-2147483647.gz"}, {"lm_3-4294967294.gz"},
        {"lm_3-4294967295.gz", "lm_3-7.gz"}, {"lm_3-5.gz", "cm_3-3000000000.gz"}};
    for (const std::vector<std::string> &start : starts) {
        std::filesystem::remove_all(final(""));
        std::filesystem::create_directory(final(""));
        for (const std::string &name : start) {
            writeFile(final(name), "old");
        }
        std::vector<std::string> stored;
        for (int move = 0; move < 6; ++move) {
            const std::set<std::string> before = finalFiles();
            const std::string name = "lm_3-" + std::to_string(removeOldDumps(2)) + ".gz";
            EXPECT_EQ(before.count(name), 0u) << start[0] << ": move " << move << " would write over " << name;
            EXPECT_EQ(std::count(stored.begin(), stored.end(), name), 0) << start[0] << ": " << name << " again";
            writeFile(final(name), "new");
            stored.push_back(name);
        }
        // The two sets the window keeps and the one just stored: every start name is gone.
        EXPECT_EQ(finalFiles(), std::set<std::string>(stored.end() - 3, stored.end())) << start[0];
    }
}
