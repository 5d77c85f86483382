#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "syslog_capture.h"
#include "zolUrdaTrace.h"

TEST(TraceFacility, SyslogKindsShareOnePriorityAndDifferByPrefix)
{
    SyslogCapture capture;
    ASSERT_EQ(currentMosaId, kNoMosaSelected);

    const int line = __LINE__ + 1;
    ZOL_SYSLOG_TRACE("Will handle dumps for mosa: %u ", 2u);
    ZOL_ERROR_TRACE("Failed to remove file %s", "/pmem/odd%s%n%dname");
    currentMosaId = 4;
    ZOL_ERROR_TRACE("%s", std::string(300, 'x').c_str());
    currentMosaId = kNoMosaSelected;

    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "ZOL TRACE syslog: test_trace.cpp:" + std::to_string(line) +
                            " mosaId = 255 Will handle dumps for mosa: 2 ");
    // A '%' inside the message stays literal and consumes no argument.
    EXPECT_EQ(lines[1], "ZOL_TRACE Error: test_trace.cpp:" + std::to_string(line + 1) +
                            " mosaId = 255 Failed to remove file /pmem/odd%s%n%dname");
    EXPECT_EQ(lines[2], "ZOL_TRACE Error: test_trace.cpp:" + std::to_string(line + 3) + " mosaId = 4 " +
                            std::string(255, 'x'));
    EXPECT_EQ(capture.priorities(), (std::vector<int>{14, 14, 14}));
}

TEST(TraceFacility, DisabledDebugTracesEvaluateNothing)
{
    // The test sandbox hides every session daemon, so no session enables the provider.
    int evaluations = 0;
    const auto countedArgument = [&evaluations] {
        ++evaluations;
        return "evaluated";
    };
    ZOL_FUNC_DEBUG_TRACE("Executed command %s", countedArgument());
    ZOL_LINE_DEBUG_TRACE("Removed old file: %s", countedArgument());
    EXPECT_EQ(evaluations, 0);
}
