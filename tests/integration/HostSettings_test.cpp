// The harness's side of the settings and the line: what it stores must be what the module
// reads, and a port control text must never reach the PLC as bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "tools/KeldaLine.h"
#include "tools/KeldaSettings.h"

using namespace kelda::host;

TEST(HostSettings, TextsAreStoredOnOneLineAsTheModuleReadsThem) {
  EXPECT_EQ(EncodeStoredText("A<B\r\nC"), "A<B%0D%0AC");
  EXPECT_EQ(EncodeStoredText("50% + 5"), "50%% %2B 5");
  EXPECT_EQ(EncodeStoredText("  x"), "++x");
  EXPECT_EQ(EncodeStoredText("a  b c"), "a+ b c");
  EXPECT_EQ(EncodeStoredText("\xC3\xA4\t"), "%C3%A4%09");
  EXPECT_EQ(EncodeStoredText(""), "");

  const char* file = "host_settings_test.ini";
  std::remove(file);
  WriteIniValue(file, "P.Common", "Proto", "1");
  WriteIniValue(file, "Other", "Proto", "9");
  WriteIniValue(file, "P.Common", "Parser config", "x");
  WriteIniValue(file, "P.Common", "Proto", "3");
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  std::remove(file);
  EXPECT_EQ(text, "[P.Common]\r\nProto=3\r\nParser config=x\r\n[Other]\r\nProto=9\r\n");
}

TEST(HostSettings, LineBreaksNeverReachThePlcAsBytesAndAnswersComeInPieces) {
  EXPECT_TRUE(IsBreakCommand("<<BREAK=100>>"));
  EXPECT_FALSE(IsBreakCommand("<<BREAK=>>"));
  EXPECT_FALSE(IsBreakCommand("<<BREAK=1x>>"));
  EXPECT_FALSE(IsBreakCommand("x<<BREAK=100>>"));

  TSimulatedLine line(kelda::plcsim::Mode::CcmPeerToPeer, "PLC1", 2, 1, 7);
  line.Write("<<BREAK=100>>", 0);
  EXPECT_EQ(line.Breaks(), 1);
  EXPECT_EQ(line.BytesWritten(), 0u);
  line.Write(std::string(1, '\x05'), 0);  // ENQ: the peer answers ACK
  std::vector<std::string> pieces = line.Read(0);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0], std::string(1, '\x06'));
  EXPECT_TRUE(line.Read(0).empty()) << "read once";
}
