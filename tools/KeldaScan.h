// "kelda-host scan": finds what a GE PLC on a serial port speaks. For each try of the plan
// (tools/ScanPlan.h) it opens the port at the try's line setting and lets the real module do
// the talking, as the host would: an instance with the protocol, one request per address (a
// one-register %R read for SNP and SNP-X sent to the null ID; a read of the CCM scratch pad,
// which names the CPU, for each CCM station) and short time-outs. A row, or the PLC's refusal
// or error answer, is a PLC found. The PLC's own ID and status, which the module does not hand
// on, are read from its frames on the line (tools/ScanAnswers.h).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/PollLine.h"
#include "tools/ScanPlan.h"

namespace kelda::host {

constexpr int kScanFound = 0;
constexpr int kScanNothing = 1;  // nothing answered, or the port or the library failed
constexpr int kScanUsage = 2;
constexpr int kScanInterrupted = 130;

// A PLC that answered a try.
struct TScanFinding {
  plcsim::Mode Protocol = plcsim::Mode::SnpX;
  TLineSetting Line;
  std::string Address;  // what the configuration's <Address> should hold: the SNP ID or the station
  std::string Answer;   // how it answered: "a value", "an error answer: ..."
  std::vector<std::string> Facts;  // its ID, status, CPU as the answers tell them
};

// What tests put in the scan's way: the line for a setting (a serial port when empty).
struct TScanHooks {
  std::function<std::unique_ptr<TPollLine>(const std::string& port, const TLineSetting& setting)> OpenLine;
};

// Runs the scan; results go to out, progress and problems to err. Found PLCs are appended to
// `found` when given.
int RunScan(const TScanOptions& options, std::ostream& out, std::ostream& err, const TScanHooks& hooks = {},
            std::vector<TScanFinding>* found = nullptr);

// The sub-command: parses args (after "scan"), finds the library beside the program when none is
// named, installs the Ctrl+C handler and runs the scan.
int ScanMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// What Ctrl+C does: the scan stops at its next turn. Safe in a signal handler.
void RequestScanStop();

// A configuration for the PLC found, in the shape of the samples: its address and a read of
// %R1-%R10 every second, with the protocol and line settings to poll it with in a comment.
std::string ScanConfiguration(const TScanFinding& finding, const std::string& port);
// Why that configuration cannot be written for the PLC found (an SNP ID with bytes the file's
// XML cannot carry); empty when it can.
std::string ScanConfigurationRefusal(const TScanFinding& finding);
// The poller's command line for the PLC found.
std::string PollCommand(const TScanFinding& finding, const TScanOptions& options,
                        const std::string& configFile);

}  // namespace kelda::host
