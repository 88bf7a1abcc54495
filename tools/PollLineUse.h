// The poller's line use: reads per second achieved against what the configuration's poll
// intervals ask and against the wire-limited rate, overall and per request. The wire-limited rate counts
// every character of one read both ways at the line's rate plus GE's mandated gaps (and the break, T4 and
// attach when the module opens the session for every read), with a PLC that answers at once and every enabled
// request polled in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/KeldaHost.h"
#include "tools/PollOptions.h"
#include "tools/plcsim/WireTime.h"

namespace kelda::host {

// One request of the configuration text, as far as the line's time goes.
struct TPolledRequest {
  std::string Caption;
  bool Enabled = true;
  bool Polled = true;  // false: read once
  int Memory = 0;
  uint32_t Offset = 0;
  uint32_t Size = 0;
  uint32_t PollIntervalMs = 1000;  // the period the configuration asks, units applied
  std::vector<std::string> Names;  // the values its answer decodes into (R1, R2, ... for counted items)
};

std::vector<TPolledRequest> RequestsOf(const std::string& configuration);

// Data bytes a read of the request carries on the wire in the protocol.
std::size_t ReadDataBytes(const TPolledRequest& request, plcsim::Mode protocol);

// The T1 the module asks for in its SNP attach; the PLC agrees on the larger of it and its own.
constexpr uint32_t kModuleSnpT1Ms = 10;
// How long the module holds its long break before an attach.
constexpr uint32_t kModuleBreakMs = 100;

class TLineUse {
public:
  // The line's format: the timed simulator's (--sim-baud) or the serial port's; none for the
  // untimed simulator, which has no wire to compare with.
  TLineUse(const TPollOptions& options, const std::string& configuration);

  bool HasWire() const { return FFormat.has_value(); }
  // The line carries no breaks (a pseudo-terminal): the module's attach follows at once, so
  // the wire-limited rate counts neither the break nor GE's wait after it.
  void NoBreaks();
  // A decoded packet at nowMs; its value names tell which request it answers. Answers to requests
  // read once are no part of the rate.
  void Row(const TRow& values, uint64_t nowMs);

  double WireLimitedPerSecond() const;  // all enabled requests in turn
  // What the configuration's poll intervals ask, all polled requests together.
  double AskedPerSecond() const;
  std::optional<double> AchievedPerSecond() const;
  // "line use: ..." and a line per request; empty without a wire.
  std::string Report() const;

private:
  struct TTally {
    uint64_t Rows = 0, FirstMs = 0, LastMs = 0;
    void Add(uint64_t ms);
    std::optional<double> PerSecond() const;
  };
  struct TRequestUse {
    TPolledRequest Request;
    plcsim::ExchangeTime Wire;
    TTally Tally;
  };

  void Measure();
  std::string WireShare(double achieved, double limit) const;

  TPollOptions FOptions;  // a copy: callers may hand a temporary
  std::optional<plcsim::LineFormat> FFormat;
  plcsim::WireRules FRules;
  bool FNoBreaks = false;
  bool FModuleKeepsT4 = false;  // the module's timed mode; its default mode attaches right after the break
  plcsim::SessionUse FSession;
  std::vector<TRequestUse> FRequests;     // polled, in turn
  std::vector<TPolledRequest> FReadOnce;  // read once, or disabled
  double FCycleMs = 0;                    // every enabled request once
  TTally FAll;
};

}  // namespace kelda::host
