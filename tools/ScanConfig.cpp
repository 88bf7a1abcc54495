// The configuration "kelda-host scan --write-config" writes for the PLC it found.
#include "tools/KeldaScan.h"

#include <cstdio>

namespace kelda::host {

namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"')
      out += "&quot;";
    else
      out += c;
  }
  return out;
}

// XML 1.0 cannot carry control characters, and windows-1252 leaves these five bytes undefined.
bool Uncarried(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F || byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 ||
         byte == 0x9D;
}

// Comments may not hold two hyphens in a row; an ID could, and a scratch pad's ID any byte:
// what the file cannot carry shows as "?", the comment being for the reader only.
std::string CommentSafe(std::string text) {
  for (char& c : text)
    if (Uncarried(static_cast<unsigned char>(c))) c = '?';
  for (std::size_t at = text.find("--"); at != std::string::npos; at = text.find("--"))
    text.replace(at, 2, "- -");
  return text;
}

}  // namespace

std::string ScanConfigurationRefusal(const TScanFinding& finding) {
  for (char c : finding.Address) {
    const auto byte = static_cast<unsigned char>(c);
    if (!Uncarried(byte)) continue;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02Xh", byte);
    return "the PLC's address holds the byte " + std::string(hex) +
           ", which the configuration file cannot carry; write the configuration with the address set "
           "by hand, or set the PLC's SNP ID to plain characters";
  }
  return {};
}

std::string ScanConfiguration(const TScanFinding& finding, const std::string& port) {
  const bool ccm =
      finding.Protocol == plcsim::Mode::CcmMasterSlave || finding.Protocol == plcsim::Mode::CcmPeerToPeer;
  const std::string stop = finding.Line.StopBits == 1 ? "1 stop bit" : "2 stop bits";
  std::string facts;
  for (const std::string& fact : finding.Facts) facts += (facts.empty() ? "" : ", ") + fact;
  // SNP and SNP-X count words from 0, CCM registers from 1 and bytes.
  return "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n"
         "<!-- Found by kelda-host scan on " +
         CommentSafe(port) + ": " + ProtocolTitle(finding.Protocol) + " at " +
         std::to_string(finding.Line.Baud) + " baud, 8 data bits, parity " + ParityWord(finding.Line.Parity) +
         ", " + stop + " (" + CommentSafe(facts) + ").\n     Poll it with protocol " +
         ProtocolWord(finding.Protocol) +
         " and these line settings. The request reads %R1..%R10 every second;\n"
         "     " +
         (ccm ? "CCM numbers registers from 1 and counts bytes: Offset 1 and Size 20."
              : "SNP and SNP-X count words from 0: Offset 0 and Size 10.") +
         " -->\n"
         "<MODBUSRTUQUERY>\n"
         "  <Request caption=\"Registers R1-R10\">\n"
         "    <Enabled check=\"2\"/>\n"
         "    <Address>" +
         Escaped(finding.Address) +
         "</Address>\n"
         "    <Memory>8</Memory>\n"
         "    <Offset>" +
         (ccm ? "1" : "0") +
         "</Offset>\n"
         "    <Size>" +
         (ccm ? "20" : "10") +
         "</Size>\n"
         "    <Timeout>1000</Timeout>\n"
         "    <RequestMethod>\n"
         "      <MethodOnce check=\"0\"/>\n"
         "      <MethodPoll check=\"2\">\n"
         "        <PollInterval>1000</PollInterval>\n"
         "        <PollUnits>MS</PollUnits>\n"
         "      </MethodPoll>\n"
         "    </RequestMethod>\n"
         "    <Response>\n"
         "      <Item>\n"
         "        <Name>R</Name>\n"
         "        <Offset>0</Offset>\n"
         "        <Count>10</Count>\n"
         "        <AppendCnt check=\"2\">\n"
         "          <ZeroBaseCnt check=\"0\"/>\n"
         "        </AppendCnt>\n"
         "        <DataType>D16</DataType>\n"
         "        <LE check=\"2\"/>\n"
         "        <Unsigned check=\"2\"/>\n"
         "        <Swapped check=\"0\"/>\n"
         "        <Default>0</Default>\n"
         "        <Scale>1</Scale>\n"
         "      </Item>\n"
         "    </Response>\n"
         "  </Request>\n"
         "</MODBUSRTUQUERY>\n";
}

}  // namespace kelda::host
