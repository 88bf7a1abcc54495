// kelda-host: loads the plug-in library as the data-logging host does and runs a script of
// host calls against it (see tools/KeldaScript.h), printing what the host sees; or polls a PLC
// through it as a bench poller (see tools/PollRun.h).
//
//   kelda-host <library> [script-file]      without a script file: the built-in demonstration
//   kelda-host poll <library> --config FILE --protocol P [options]   (poll --help: the options)
//   kelda-host check CONFIG --protocol P      the configuration check (see tools/KeldaCheck.h)
//   kelda-host scan [<library>] --port P      finds the PLC on a port (see tools/KeldaScan.h)
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/ConsoleText.h"
#include "tools/KeldaCheck.h"
#include "tools/KeldaScan.h"
#include "tools/KeldaScript.h"
#include "tools/PollRun.h"

namespace {

// The configuration a user would make in the options dialog: registers polled every 200 ms,
// cut into values of several types, and a request read once at start-up. CCM numbers
// registers from 1 and counts bytes; SNP and SNP-X count words from register 0.
std::string DemoConfiguration(bool ccm) {
  const std::string address = ccm ? "2" : "PLC1";
  auto request = [&](const std::string& caption, int first, int words, bool poll, const std::string& items) {
    return "<Request caption='" + caption + "'><Enabled check='2'/><Address>" + address +
           "</Address><Memory>8</Memory><Offset>" + std::to_string(ccm ? first + 1 : first) +
           "</Offset><Size>" + std::to_string(ccm ? words * 2 : words) +
           "</Size><Timeout>1000</Timeout><RequestMethod><MethodOnce check='" + (poll ? "0" : "2") +
           "'/><MethodPoll check='" + (poll ? "2" : "0") +
           "'><PollInterval>200</PollInterval><PollUnits>MS</PollUnits></MethodPoll></"
           "RequestMethod><Response>" +
           items + "</Response></Request>";
  };
  auto item = [](const std::string& name, int offset, int count, const std::string& type,
                 const std::string& more) {
    return "<Item><Name>" + name + "</Name><Offset>" + std::to_string(offset) + "</Offset><Count>" +
           std::to_string(count) + "</Count><AppendCnt check='" + (count > 1 ? "2" : "0") +
           "'><ZeroBaseCnt check='0'/></AppendCnt><DataType>" + type + "</DataType>" + more + "</Item>";
  };
  const std::string wordLe = "<LE check='2'/><Unsigned check='2'/><Swapped check='0'/>";
  return "<?xml version='1.0'?><MODBUSRTUQUERY>" +
         request(
             "Tank levels", 0, 6, true,
             item("LEVEL", 0, 3, "D16", wordLe) +
                 item("TEMPERATURE", 6, 1, "D16", "<LE check='2'/><Unsigned check='0'/><Scale>0.1</Scale>") +
                 item("FLOW", 8, 1, "D32", "<LE check='2'/><Unsigned check='2'/><Swapped check='2'/>")) +
         request("Station", 20, 128, false, item("STATION", 0, 1, "S", "")) + "</MODBUSRTUQUERY>";
}

// One protocol's run: the settings stored in an INI file, two data sources with a simulated
// PLC each, a few seconds of polling, the port opened again, the end.
std::string DemoScript() {
  static const struct {
    const char* Mode;
    int Proto;
    const char* Name;
  } protocols[] = {{"ccm-ms", 0, "CCM master to slave"},
                   {"ccm-peer", 1, "CCM peer to peer"},
                   {"snp", 2, "SNP"},
                   {"snpx", 3, "SNP-X"}};
  std::ostringstream script;
  script << "# A host polls GE PLCs through the module, once per protocol\n";
  for (const auto& p : protocols) {
    const bool ccm = p.Proto <= 1;
    script << "# --- " << p.Name << "\n"
           << "ini kelda-demo.ini Demo.Common \"Parser config\" \"" << DemoConfiguration(ccm) << "\"\n"
           << "ini kelda-demo.ini Demo.Common Proto " << p.Proto << "\n"
           << "create 1\n";
    if (p.Proto == 0) script << "info\n";
    script << "line 1 " << p.Mode << " chunk=5 seed=1\n"
           << "line 2 " << p.Mode << " chunk=3 seed=2\n"
           << "registers 1 0 1200 1250 1190 -125 0x1F4 2\n"
           << "registers 1 20 0x6154 0x6B6E 0x4120 0\n"  // "Tank A", low byte first
           << "registers 2 0 800 810 790 215 0x2710 0\n"
           << "registers 2 20 0x6154 0x6B6E 0x4220 0\n"
           << "load INI-FILE=kelda-demo.ini INI-SECTION-PREFIX=Demo LANGUAGE=EN\n"
           << "command SET-STATE @flags=0x03 DATA-SOURCES-IN-CFG=\"1;COM1;Tank farm A\\r\\n2;COM2;Tank farm "
              "B\" RESULT=1\n"
           << "run 5000 3\n";
    if (p.Proto == 3) script << "command ITEMS\ncommand EVENT EVENT-TYPE=GetMemoryTypeList\n";
    script << "command EVENT EVENT-TYPE=PORT-OPEN\n"
           << "run 3000 2\n"
           << "command UNLOAD INI-FILE=kelda-demo.ini\n"
           << "free\n";
  }
  script << "shutdown\n";
  return script.str();
}

}  // namespace

int main(int argc, char** argv) {
  kelda::host::UseUtf8Console();
  if (argc >= 2 && std::string(argv[1]) == "poll")
    return kelda::host::PollMain(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
  if (argc >= 2 && std::string(argv[1]) == "scan")
    return kelda::host::ScanMain(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
  if (argc >= 2 && std::string(argv[1]) == "check")
    return kelda::host::CheckMain(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
  static const char* const kUsage =
      "usage: kelda-host <library> [script-file]\n"
      "       kelda-host poll <library> --config FILE --protocol P [options]  (poll --help)\n"
      "       kelda-host check CONFIG --protocol P  (check --help)\n"
      "       kelda-host scan [<library>] --port P [options]  (scan --help)\n";
  if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  try {
    kelda::host::TKeldaHost host(argv[1]);
    if (argc > 2) {
      std::ifstream script(argv[2]);
      if (!script) {
        std::cerr << "cannot open " << argv[2] << "\n";
        return 2;
      }
      return kelda::host::RunScript(host, script, std::cout) ? 0 : 1;
    }
    std::istringstream script(DemoScript());
    return kelda::host::RunScript(host, script, std::cout) ? 0 : 1;
  } catch (const std::exception& failure) {
    std::cerr << "kelda-host: " << failure.what() << "\n";
    return 1;
  }
}
