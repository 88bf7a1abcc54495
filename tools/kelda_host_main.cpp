// kelda-host: loads the plug-in library as the data-logging host does and runs a script of
// host calls against it (see tools/KeldaScript.h), printing what the host sees.
//
//   kelda-host <library> [script-file]      without a script file: the built-in demonstration
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/KeldaScript.h"

static const char kDemoScript[] = R"(# A host's first minutes with the module
create 1
info
load REGISTRY-PATH="Software\\Korvane\\DataLogger\\Kelda" INI-SECTION-PREFIX="{Demo:7}" LANGUAGE=EN
command SET-STATE @flags=0x01 DATA-SOURCES-IN-CFG="1;COM1;Press line 1\r\n2;COM2;Press line 2" RESULT=1
command ITEMS
command GET-MODULE-PARAMETER PARAM=DisplayFullVersion
command GET-MODULE-PARAMETER PARAM=ModuleEnabled
command SET-MODULE-PARAMETER PARAM=Custom:Operator VALUE=night-shift
command GET-MODULE-PARAMETER PARAM=Custom_Operator
data 1 0x02 "R0001=17\r\nR0002=42\r\n"
command load
log
command UNLOAD
free
shutdown
)";

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: kelda-host <library> [script-file]\n";
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
    std::istringstream script(kDemoScript);
    return kelda::host::RunScript(host, script, std::cout) ? 0 : 1;
  } catch (const std::exception& failure) {
    std::cerr << "kelda-host: " << failure.what() << "\n";
    return 1;
  }
}
