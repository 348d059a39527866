#include "client_history.h"

#include <gtest/gtest.h>

#include <string>

#include "client_table.h"

namespace {

ClientRow Row(const std::string &strMac, const std::string &strStatus)
{
    ClientRow stRow;
    stRow.strMac = strMac;
    stRow.strAddress = "10.0.0.9";
    stRow.strStatus = strStatus;
    return stRow;
}

// Progress figures alone add nothing; a new file or state does, with the time since the first
// request; only the last 64 stay.
TEST(ClientHistory, StepsWithTimesAndBound)
{
    uint64_t ullNow = 1000;
    CLIENTS_SetClock([&ullNow] { return ullNow; });
    HISTORY_Record(Row("52-54-00-00-00-01", "Requesting IP address(BIOS X86_64)"));
    ullNow = 3500;
    HISTORY_Record(Row("52-54-00-00-00-01", "Downloading file(TFTP: 1.00%):pxelinux.0"));
    ullNow = 4000;
    HISTORY_Record(Row("52-54-00-00-00-01", "Downloading file(TFTP: 99.50%):pxelinux.0"));
    HISTORY_Record(Row("52-54-00-00-00-01", "Downloading file(TFTP: 2.00%):ldlinux.c32"));
    ClientHistory stHistory;
    ASSERT_TRUE(HISTORY_Get(Row("52-54-00-00-00-01", ""), &stHistory));
    ASSERT_EQ(stHistory.vecEntries.size(), 3u);
    EXPECT_EQ(stHistory.vecEntries[0].ullSinceFirstMs, 0u);
    EXPECT_EQ(stHistory.vecEntries[1].ullSinceFirstMs, 2500u);
    EXPECT_EQ(stHistory.vecEntries[1].strStatus, "Downloading file(TFTP: 1.00%):pxelinux.0");
    EXPECT_EQ(stHistory.vecEntries[2].ullSinceFirstMs, 3000u);
    EXPECT_FALSE(HISTORY_LocalTime(stHistory.llFirstWallUs).empty());
    EXPECT_FALSE(HISTORY_Get(Row("52-54-00-00-00-02", ""), &stHistory));

    for (int i = 0; i < 100; ++i) {
        HISTORY_Record(Row("52-54-00-00-00-03", i % 2 ? "Installing OS ..." : "Rebooting"));
    }
    ASSERT_TRUE(HISTORY_Get(Row("52-54-00-00-00-03", ""), &stHistory));
    EXPECT_EQ(stHistory.vecEntries.size(), CLIENT_HISTORY_MAX);
    CLIENTS_SetClock(nullptr);
}

}  // namespace
