// The module's texts on the console: the configuration check and the live view show captions,
// values and names in UTF-8, converted from the PC's code page as the CSV file does, never the
// code page's raw bytes.
#include "tools/ConsoleText.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/KeldaCheck.h"
#include "tools/PollRequests.h"

using namespace kelda::host;

namespace {

// windows-1252 text, as the module holds it: a caption "Süd", a value "Ölstand", a control byte.
const char* kConfig =
    "<MODBUSRTUQUERY><Request caption=\"S\xFC"
    "d\"><Enabled check=\"2\"/><Address>PLC1</Address><Memory>8</Memory><Offset>0</Offset><Size>2</Size>"
    "<MethodPoll check=\"2\"><PollInterval>1</PollInterval><PollUnits>S</PollUnits></MethodPoll><Response>"
    "<Item><Name>STAND\xC4</Name><Offset>0</Offset><Count>1</Count><AppendCnt check=\"0\"/><DataType>D16"
    "</DataType></Item></Response></Request></MODBUSRTUQUERY>";

bool HasHighLatin1Byte(const std::string& text) {
  // A lone byte 0xC4 or 0xFC is the code page's; in UTF-8 they only follow a lead byte.
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte == 0xFC || byte == 0xC4) && (i == 0 || static_cast<unsigned char>(text[i - 1]) < 0xC2))
      return true;
  }
  return false;
}

}  // namespace

TEST(ConsoleText, CodePageBecomesUtf8AndControlsAreShown) {
  EXPECT_EQ(ConsoleText("S\xFC"
                        "d"),
            "S\xC3\xBC"
            "d");
  EXPECT_EQ(ConsoleText("\x80"), "\xE2\x82\xAC") << "the euro sign of windows-1252";
  EXPECT_EQ(ConsoleText("a\rb\x01"), "a\\x0Db\\x01") << "each text stays on its line";
  EXPECT_EQ(ConsoleText("C:\\dir"), "C:\\dir");
}

TEST(ConsoleText, CheckAndLiveViewWriteUtf8) {
  const std::string file = (std::filesystem::temp_directory_path() / "kelda_console_text.xml").string();
  std::ofstream(file, std::ios::binary) << kConfig;
  std::ostringstream out, err;
  CheckMain({file, "--protocol", "snpx"}, out, err);
  std::filesystem::remove(file);
  EXPECT_NE(out.str().find("S\xC3\xBC"
                           "d: SNP-X ID PLC1"),
            std::string::npos)
      << out.str();
  EXPECT_NE(out.str().find("STAND\xC3\x84"), std::string::npos) << out.str();
  EXPECT_FALSE(HasHighLatin1Byte(out.str())) << out.str();

  TRequestBoard board(kConfig, kelda::plcsim::Mode::SnpX);
  board.TakeRow(
      {{"TARGET_ADDRESS", "PLC1"}, {"MEMORY", "8"}, {"MEMORY_ADDRESS", "0"}, {"STAND\xC4", "\xD6l\x02"}},
      100);
  std::string view;
  for (const std::string& line : board.Lines(200)) view += line + "\n";
  EXPECT_NE(view.find("S\xC3\xBC"
                      "d  %R1-%R2  live"),
            std::string::npos)
      << view;
  EXPECT_NE(view.find("STAND\xC3\x84  \xC3\x96l\\x02"), std::string::npos) << view;
  EXPECT_FALSE(HasHighLatin1Byte(view)) << view;
}
