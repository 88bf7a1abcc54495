// What the scan reads from the PLC's frames beside the module: the ID in an attach answer, the
// status word of a read's answer, the station of a CCM enquiry answer. GE's published frames are
// read right, in whatever pieces they arrive; a frame whose check fails (noise at a wrong line
// setting can look like one) never counts as an answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/ScanAnswers.h"
#include "tools/plcsim/Checks.h"

using namespace kelda;
using namespace kelda::host;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

// Feeds bytes in pieces of `piece`, as a port hands them over.
TWireAnswers Read(plcsim::Mode mode, const std::string& request, const std::string& answer,
                  std::size_t piece) {
  TScanWire wire(mode);
  wire.Sent(request, 0);
  for (std::size_t at = 0; at < answer.size(); at += piece) wire.Received(answer.substr(at, piece), 1);
  wire.Sent(Bytes({0x06, 0x00}), 2);  // the master's next word ends the answer
  return wire.Answers();
}

const std::string kNullXAttach =
    Bytes({0x1B, 0x58, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x17, 0, 0, 0, 0, 0x79});
const std::string kNullAttach = Bytes({0x1B, 0x41, 0,    0,    0,    0,    0,    0, 0, 0, 0x30, 0x41,
                                       0x30, 0x30, 0x30, 0x20, 0x20, 0x20, 0x17, 0, 0, 0, 0x31, 0x41});

}  // namespace

TEST(ScanAnswers, AttachAnswersGiveThePlcsIdOnlyWithAGoodCheck) {
  // GE's X-Attach response for "ABCDEF" and SNP Attach Response for "33101A".
  const std::string xAnswer = Bytes({0x1B, 0x58, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x00, 0x00, 0x80, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x00, 0xA2});
  const std::string snpAnswer =
      Bytes({0x1b, 0x52, 0x33, 0x33, 0x31, 0x30, 0x31, 0x41, 0x00, 0x00, 0x30, 0x41,
             0x30, 0x30, 0x30, 0x20, 0x20, 0x20, 0x17, 0x00, 0x00, 0x00, 0x45, 0x37});
  for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{24}}) {
    TWireAnswers x = Read(plcsim::Mode::SnpX, kNullXAttach, xAnswer, piece);
    EXPECT_TRUE(x.Opened);
    EXPECT_EQ(x.PlcId, "ABCDEF");
    TWireAnswers snp = Read(plcsim::Mode::Snp, kNullAttach, snpAnswer, piece);
    EXPECT_TRUE(snp.Opened);
    EXPECT_EQ(snp.PlcId, "33101A");
  }
  // One byte of the ID spoiled: the check fails, and nothing was answered.
  std::string badX = xAnswer, badSnp = snpAnswer;
  badX[4] = 'Z';
  badSnp[4] = 'Z';
  EXPECT_FALSE(Read(plcsim::Mode::SnpX, kNullXAttach, badX, 7).Opened);
  EXPECT_FALSE(Read(plcsim::Mode::Snp, kNullAttach, badSnp, 7).Opened);
  EXPECT_TRUE(Read(plcsim::Mode::Snp, kNullAttach, badSnp, 7).PlcId.empty());
  // An SNP-X answer is no SNP attach answer, and the other way round.
  EXPECT_FALSE(Read(plcsim::Mode::Snp, kNullAttach, xAnswer, 24).Opened);
  EXPECT_FALSE(Read(plcsim::Mode::SnpX, kNullXAttach, snpAnswer, 24).Opened);
}

TEST(ScanAnswers, ReadAnswersGiveThePlcStatusWord) {
  // GE's X-Read %R1-%R4 response carries status 0000; one with status 2054h (stop, I/O disabled,
  // programmer attached, PLC fault) gets its check computed here.
  std::string xResponse = Bytes({0x1B, 0x58, 0x81, 0x54, 0x20, 0x00, 0x00, 0x08, 0x00, 0x31, 0x32,
                                 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x17, 0x00, 0x00, 0x00, 0x00});
  xResponse +=
      static_cast<char>(plcsim::snpBcc(reinterpret_cast<const uint8_t*>(xResponse.data()), xResponse.size()));
  TWireAnswers x = Read(plcsim::Mode::SnpX, kNullXAttach, xResponse, 3);
  ASSERT_TRUE(x.Status.has_value());
  EXPECT_EQ(*x.Status, 0x2054);
  xResponse[9] ^= 0x01;
  EXPECT_FALSE(Read(plcsim::Mode::SnpX, kNullXAttach, xResponse, 3).Status.has_value());

  // A completion ACK with its data inline: the last two bytes of the piggy-back status are the
  // status word (5C 20 in GE's %M read example).
  std::string mailbox = Bytes({0x1B, 0x4D, 0,    0,    0,    0,    0,    0,    0x02, 0xD4, 0x10, 0x0A, 0x00,
                               0x00, 0x10, 0x3A, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x90, 0x13, 0,    0,
                               0,    0,    0x00, 0x04, 0x00, 0x00, 0x5C, 0x20, 0x17, 0,    0,    0,    0});
  mailbox +=
      static_cast<char>(plcsim::snpBcc(reinterpret_cast<const uint8_t*>(mailbox.data()), mailbox.size()));
  TWireAnswers snp = Read(plcsim::Mode::Snp, kNullAttach, Bytes({0x06, 0x00}) + mailbox, 6);
  ASSERT_TRUE(snp.Status.has_value());
  EXPECT_EQ(*snp.Status, 0x205C);
}

TEST(ScanAnswers, CcmEnquiryAnswersNameTheStation) {
  TWireAnswers ms = Read(plcsim::Mode::CcmMasterSlave, Bytes({'N', 0x27, 0x05}), Bytes({'N', 0x27, 0x06}), 1);
  EXPECT_TRUE(ms.Opened);
  ASSERT_TRUE(ms.Station.has_value());
  EXPECT_EQ(*ms.Station, 7);
  TWireAnswers busy =
      Read(plcsim::Mode::CcmMasterSlave, Bytes({'N', 0x2C, 0x05}), Bytes({'N', 0x2C, 0x15}), 3);
  ASSERT_TRUE(busy.Station.has_value()) << "a NAK (busy) still shows the station is there";
  EXPECT_EQ(*busy.Station, 12);
  EXPECT_EQ(busy.Stations, std::vector<int>{12});
  EXPECT_TRUE(Read(plcsim::Mode::CcmPeerToPeer, Bytes({0x05}), Bytes({0x06}), 1).Opened);
  EXPECT_FALSE(Read(plcsim::Mode::CcmPeerToPeer, Bytes({0x05}), Bytes({0x15}), 1).Opened)
      << "a lone NAK is as likely noise";
  EXPECT_FALSE(Read(plcsim::Mode::CcmMasterSlave, Bytes({'N', 0x27, 0x05}), Bytes({0x8F, 0x93}), 1).Opened)
      << "noise is no answer";
}
