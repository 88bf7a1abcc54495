// "kelda-host poll": the bench poller. It loads the plug-in library as the data-logging host
// does, gives it the request configuration and the protocol settings through an INI file of
// its own (in the temporary folder, removed at the end), makes one data source (id 1) whose
// port is the line, and runs the host's message loop while it reads the line, until the time
// or the number of transactions asked for is reached, the port fails, or Ctrl+C.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/PollLine.h"
#include "tools/PollOptions.h"

namespace kelda::host {

// Exit statuses, for scripts.
constexpr int kPollOk = 0;
constexpr int kPollFailed = 1;  // library, configuration, port, files
constexpr int kPollUsage = 2;
constexpr int kPollNoAnswer = 3;  // no value decoded during the whole run
constexpr int kPollInterrupted = 130;

// What a caller may put in the poller's way: the line it opens (OpenPollLine when empty) and
// a look at the run after each decoded packet (rows so far).
struct TPollHooks {
  std::function<std::unique_ptr<TPollLine>(const TPollOptions&)> OpenLine;
  std::function<void(uint64_t rows)> OnRows;
};

// The module's settings for a run, key and stored value, as the poller writes them for LOAD.
std::vector<std::pair<std::string, std::string>> ModuleSettings(const TPollOptions& options,
                                                                const std::string& configuration);

// Runs a poll; the live view and the summary go to out, problems and the module's log to err.
int RunPoll(const TPollOptions& options, std::ostream& out, std::ostream& err, const TPollHooks& hooks = {});

// The sub-command: parses args (after "poll"), shows --help, installs the Ctrl+C handler for
// the run and runs it.
int PollMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// What Ctrl+C does: the running poll stops at its next turn of the loop. Safe in a signal
// handler and from any thread; the next RunPoll starts without it.
void RequestPollStop();

}  // namespace kelda::host
