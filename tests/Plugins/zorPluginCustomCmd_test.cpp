#include "Plugins/zorPluginCustomCmd.h"

#include <gtest/gtest.h>

using kelda::TzorPluginCustomCmdList;

TEST(CustomCommands, TextRoundTripAndTolerantReading) {
  TzorPluginCustomCmdList list;
  EXPECT_EQ(list.AddFromText("Reset|RESET|Resets counters|1|0\r\n"
                             "\r\n"
                             "too|few|fields|1\r\n"
                             "Dump|DUMP||true|1\n"
                             "a|b|c|0|1|ignored extra"),
            3);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(0).Text3, "Resets counters");
  EXPECT_TRUE(list.Items(0).Flag1);
  EXPECT_FALSE(list.Items(0).Flag2);
  EXPECT_FALSE(list.Items(1).Flag1) << "only the exact field 1 sets a flag";
  EXPECT_TRUE(list.Items(1).Flag2);
  EXPECT_EQ(list.Text(), "Reset|RESET|Resets counters|1|0\r\nDump|DUMP||0|1\r\na|b|c|0|1\r\n");

  // Reading appends: the same text twice lists every command twice.
  TzorPluginCustomCmdList copy;
  copy.AddFromText(list.Text());
  copy.AddFromText(list.Text());
  EXPECT_EQ(copy.Count(), 6);
  EXPECT_EQ(copy.Text(), list.Text() + list.Text());
  EXPECT_EQ(TzorPluginCustomCmdList().Text(), "");
}
