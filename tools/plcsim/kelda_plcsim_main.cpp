// kelda-plcsim: a GE PLC on a line, for trying a configuration without hardware.
#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/plcsim/SimOptions.h"
#include "tools/plcsim/SimServer.h"

namespace {

std::atomic<bool> gStop{false};

// Ctrl+C and termination end the serve loop, which then saves the memory and returns.
extern "C" void RequestStop(int) {
  gStop = true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kelda::plcsim;
  SimOptions options;
  try {
    options = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::cerr << "kelda-plcsim: " << e.what() << std::endl;
    return 2;
  }
  if (options.help) {
    std::cout << SimUsage();
    return 0;
  }
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
  try {
    return RunSimulator(options, gStop, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "kelda-plcsim: " << e.what() << std::endl;
    return 1;
  }
}
