// The frames the engine sends, byte for byte, against worked examples and frames published in
// GE's manuals.
#include <gtest/gtest.h>

#include "EngineTestKit.h"

using namespace kelda;
using namespace kelda::enginetest;

namespace {

TRequestItem Request(const std::string& address, uint8_t memory, int32_t offset, int32_t size) {
  TRequestItem request;
  request.Address = address;
  request.Memory = memory;
  request.Offset = offset;
  request.Size = size;
  return request;
}

struct FrameCase {
  const char* What;
  std::string Frame;
  std::string Expected;
};

// Named by what it shows: without this the test names would be printed from the object's raw
// bytes, unused string storage included.
void PrintTo(const FrameCase& c, std::ostream* out) {
  *out << c.What;
}

class FrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, MatchesByteForByte) {
  EXPECT_EQ(Hex(GetParam().Frame), Hex(GetParam().Expected)) << GetParam().What;
}

std::string SnpId(const char* id) {
  std::string out(id);
  out.resize(8, '\0');
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Published, FrameTest,
    ::testing::Values(
        FrameCase{"CCM enquiry, master to slave, target 2", CcmEnquiryFrame(0, Request("2", 8, 0, 16)),
                  Bytes({'N', 0x22, 0x05})},
        FrameCase{"CCM enquiry, peer to peer", CcmEnquiryFrame(1, Request("2", 8, 0, 16)), Bytes({0x05})},
        FrameCase{"CCM header: target 2, registers, offset 0, 16 bytes, source 1",
                  CcmHeaderFrame(Request("2", 8, 0, 16), 1.0),
                  "\x01"
                  "0201000000100"
                  "1\x17\x03"},
        // GE's example: source 02 reads 20 bytes (10 registers) at 986 of target 01.
        FrameCase{"CCM header, published", CcmHeaderFrame(Request("1", 8, 986, 20), 2.0),
                  Bytes({0x01, 0x30, 0x31, 0x30, 0x31, 0x30, 0x33, 0x44, 0x41, 0x30, 0x30, 0x31, 0x34, 0x30,
                         0x32, 0x17, 0x01})},
        FrameCase{"CCM header: 300 bytes are one block and 44",
                  CcmHeaderFrame(Request("17", 10, 0x1A2B, 300), 0.0),
                  std::string("\x01"
                              "1102"
                              "1A2B"
                              "012C"
                              "00\x17") +
                      static_cast<char>(Lrc(reinterpret_cast<const uint8_t*>("1102"
                                                                             "1A2B"
                                                                             "012C"
                                                                             "00"),
                                            14))},
        FrameCase{"SNP attach, published CPU id 33101A", SnpAttachFrame(Request("33101A", 8, 0, 1)),
                  Bytes({0x1b, 0x41, 0x33, 0x33, 0x31, 0x30, 0x31, 0x41, 0x00, 0x00, 0x30, 0x41,
                         0x30, 0x30, 0x30, 0x20, 0x20, 0x20, 0x17, 0x00, 0x00, 0x00, 0x38, 0x35})},
        FrameCase{"SNP attach, null id", SnpAttachFrame(Request("", 8, 0, 1)),
                  Bytes({0x1B, 0x41, 0,    0,    0,    0,    0,    0,    0,    0,    0x30, 0x41,
                         0x30, 0x30, 0x30, 0x20, 0x20, 0x20, 0x17, 0x00, 0x00, 0x00, 0x31, 0x41})},
        FrameCase{"SNP-X attach, published id ABCDEF", SnpXAttachFrame(Request("ABCDEF", 8, 0, 1)),
                  Bytes({0x1B, 0x58, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0, 0, 0, 0,
                         0,    0,    0,    0,    0,    0,    0x17, 0,    0, 0, 0, 0xB2})},
        FrameCase{"SNP-X attach for address 2", SnpXAttachFrame(Request("2", 8, 0, 1)),
                  "\x1B\x58\x32" + std::string(15, '\0') + "\x17" + std::string(4, '\0') + "\x3F"},
        FrameCase{"SNP-X read %R1-%R4, published", SnpXReadFrame(Request("ABCDEF", 8, 0, 4)),
                  Bytes({0x1B, 0x58, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x00, 0x00, 0x01, 0x08,
                         0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x00, 0x1A})},
        FrameCase{"SNP-X read %I2 one bit, null id, published", SnpXReadFrame(Request("", 0x46, 1, 1)),
                  Bytes({0x1b, 0x58, 0,    0,    0,    0,    0,    0,    0,    0,    0x01, 0x46,
                         0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x00, 0x37})},
        FrameCase{"SNP mailbox read %R3-%R13, published", SnpMailboxReadFrame(Request("X", 8, 2, 11), 0x62),
                  Bytes({0x1b, 0x4d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x62, 0xc0, 0x10, 0x3a, 0x00, 0x00,
                         0x10, 0x0a, 0x00, 0x00, 0x01, 0x01, 0x04, 0x08, 0x02, 0x00, 0x0b, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x00, 0x07})},
        FrameCase{"SNP mailbox read %M99-%M109, published",
                  SnpMailboxReadFrame(Request("", 0x4C, 0x62, 11), 2),
                  Bytes({0x1b, 0x4d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xc0, 0x10, 0x3a, 0x00, 0x00,
                         0x10, 0x0a, 0x00, 0x00, 0x01, 0x01, 0x04, 0x4c, 0x62, 0x00, 0x0b, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x00, 0xE6})}));

TEST(Frames, SnpIdTakesSevenCharactersAndPadsWithZeroBytes) {
  std::string attach = SnpXAttachFrame(Request("ABCDEFGHIJ", 8, 0, 1));
  EXPECT_EQ(attach.substr(2, 8), SnpId("ABCDEFG"));
  EXPECT_EQ(SnpAttachFrame(Request("2", 8, 0, 1)).substr(22), "39");
  EXPECT_EQ(SnpAttachFrame(Request("2", 8, 0, 1)).size(), 24u);
  EXPECT_EQ(SnpXReadFrame(Request("2", 8, 0, 1)).size(), 24u);
  EXPECT_EQ(SnpMailboxReadFrame(Request("2", 8, 0, 1), 1).size(), 40u);
  // A CCM target that is not a decimal number addresses target 2; its low 8 bits are sent.
  EXPECT_EQ(CcmEnquiryFrame(0, Request("1A", 8, 0, 1)), Bytes({'N', 0x22, 0x05}));
  EXPECT_EQ(CcmHeaderFrame(Request("300", 8, 0, 1), 1.0).substr(1, 2), "2C");
  EXPECT_EQ(CcmEnquiryFrame(0, Request("300", 8, 0, 1)), Bytes({'N', 0x4C, 0x05}));
}

TEST(Frames, OnlyRequestsWhoseFieldsFitTheWireAreSendable) {
  EXPECT_TRUE(RequestFitsWire(Request("1", 8, 0, 0)));
  EXPECT_TRUE(RequestFitsWire(Request("1", 8, 65535, 65535)));
  EXPECT_FALSE(RequestFitsWire(Request("1", 8, -1, 4)));
  EXPECT_FALSE(RequestFitsWire(Request("1", 8, 65536, 4)));
  EXPECT_FALSE(RequestFitsWire(Request("1", 8, 0, 65536)));
  EXPECT_FALSE(RequestFitsWire(Request("1", 8, 0, -2)));
  EXPECT_EQ(EffectiveMs(0), 1u);
  EXPECT_EQ(EffectiveMs(-5), 1u);
  EXPECT_EQ(EffectiveMs(250), 250u);
}

}  // namespace
