// The module's "Statistics" parameter as the poller reads it: one line per data source,
//   1;requests=12;answers=11;timeouts=1;checks=0;naks=0;out=240;in=560;rtt=35;rtt_avg=36
// (the data source, then name=value counts). Names the poller does not know are skipped, so a
// module that reports more still shows what the poller knows; a line without a data source
// number is skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelda::host {

struct TLineStatistics {
  int32_t DataSource = 0;
  std::optional<uint64_t> Requests, Answers, Timeouts, Checks, Naks, BytesOut, BytesIn, RttMs, RttAvgMs;
};

std::vector<TLineStatistics> ParseStatistics(const std::string& text);

// The statistics of one data source; nullopt when the text has none for it.
std::optional<TLineStatistics> StatisticsOf(const std::string& text, int32_t dataSource);

}  // namespace kelda::host
