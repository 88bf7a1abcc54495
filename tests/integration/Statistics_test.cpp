// The "Statistics" and "LogFailedTransactions" module parameters of the real library, through the
// exports, for each protocol: a simulated PLC that refuses one request, the counters a poller
// reads back in its own line form, and the log line that names the refused request.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "LiveRig.h"

using namespace livetest;

namespace {

constexpr uint32_t kBoundMs = 15000;  // only reached when something is wrong
const char kOneSource[] = "1;COM1;Press line 1";

// A statistics line taken apart as the poller does: the data source, then name=value fields.
struct TStatisticsLine {
  std::string Source;
  std::vector<std::string> Names;
  std::map<std::string, uint64_t> Values;
};

bool ParseStatistics(const std::string& text, std::vector<TStatisticsLine>& lines) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) return false;  // every line ends with CR LF
    const std::string line = text.substr(start, end - start);
    start = end + 2;
    TStatisticsLine parsed;
    std::size_t at = line.find(';');
    parsed.Source = line.substr(0, at);
    while (at != std::string::npos) {
      const std::size_t next = line.find(';', at + 1);
      const std::string field = line.substr(at + 1, next == std::string::npos ? next : next - at - 1);
      const std::size_t equals = field.find('=');
      if (equals == std::string::npos || equals + 1 == field.size()) return false;
      const std::string digits = field.substr(equals + 1);
      if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
      parsed.Names.push_back(field.substr(0, equals));
      parsed.Values[parsed.Names.back()] = std::stoull(digits);
      at = next;
    }
    lines.push_back(std::move(parsed));
  }
  return true;
}

const std::vector<std::string> kFieldNames = {"requests", "answers", "timeouts",  "checks",
                                              "naks",     "out",     "in",        "rtt",
                                              "rtt_avg",  "retries", "demotions", "demoted"};

TEST(ModuleStatistics, CountsAndFailedTransactionsThroughTheExports) {
  for (int protocol : {kProtoCcmMasterSlave, kProtoCcmPeer, kProtoSnp, kProtoSnpX}) {
    SCOPED_TRACE(ProtocolName(protocol));
    TIniFile ini(std::string("statistics_") + ProtocolName(protocol) + ".ini");
    ini.Store("Stats", ConfigXml({PolledRequest(protocol)}), protocol);
    TKeldaHost host(KELDA_LIBRARY_PATH);
    const uintptr_t instance = host.Create(6);
    ASSERT_NE(instance, 0u);
    TKeldaHost::TLineOptions options;
    options.Mode = ModeOf(protocol);
    TSimulatedLine& line = host.AttachLine(instance, 1, options);
    FillRegisters(line, 1);
    // SNP sends a refused mailbox again, twice: the third refusal in a row ends the exchange.
    const uint64_t naks = protocol == kProtoSnp ? 3 : 1;
    line.Plc().faults().nak = static_cast<int>(naks);

    auto get = [&](const char* name) {
      return host.Command(instance, "GET-MODULE-PARAMETER", {Param("PARAM", name)}).Result;
    };
    auto set = [&](const char* name, const std::string& value) {
      return host.Command(instance, "SET-MODULE-PARAMETER", {Param("PARAM", name), Param("VALUE", value)})
          .Result.ToBool();
    };
    EXPECT_TRUE(set("LogFailedTransactions", "1"));
    EXPECT_FALSE(set("Statistics", "1;requests=0"));
    ASSERT_EQ(host.Command(instance, "LOAD", LoadFromIni(host, ini, "Stats")).Code, 0);
    ASSERT_EQ(SetState(host, instance, kOneSource, 1).Code, 0);

    // Until the refusal was logged and a few rows came after it.
    std::vector<TRow> rows;
    std::vector<std::string> failures;
    const bool done = host.RunUntil(
        [&] {
          for (TRow& row : host.TakeRows(instance, 1)) rows.push_back(std::move(row));
          for (const TLogLine& logged : host.Received())
            if (logged.Text.find("failed:") != std::string::npos) failures.push_back(logged.Text);
          return !failures.empty() && rows.size() >= 3;
        },
        kBoundMs);
    ASSERT_TRUE(done) << rows.size() << " rows, " << failures.size() << " failures logged";
    // A machine loaded enough may add a time-out of its own; the refusal is logged in any case.
    // An SNP-X refusal is the PLC's error answer, named in words.
    const std::string refused =
        "Korvane. Data source 1 (COM1), request \"Levels\" failed: " +
        std::string(protocol == kProtoSnpX
                        ? "the PLC answered with an error: major 0F (SNP-X request error), "
                          "minor 07 (queue full)"
                        : "the PLC refused the request (NAK)");
    EXPECT_NE(std::find(failures.begin(), failures.end(), refused), failures.end()) << failures[0];

    const std::string text = get("Statistics").ToText();
    std::printf("%s: %s", ProtocolName(protocol), text.c_str());
    std::vector<TStatisticsLine> lines;
    ASSERT_TRUE(ParseStatistics(text, lines)) << text;
    ASSERT_EQ(lines.size(), 1u) << text;
    const TStatisticsLine& stats = lines[0];
    EXPECT_EQ(stats.Source, "1");
    EXPECT_EQ(stats.Names, kFieldNames) << text;
    auto value = [&](const std::string& name) { return stats.Values.at(name); };
    EXPECT_EQ(value("answers"), rows.size()) << "one answer per row the host received";
    EXPECT_EQ(value("naks"), naks);
    EXPECT_EQ(value("checks"), 0u);
    EXPECT_GE(value("requests"), value("answers") + (protocol == kProtoSnpX ? 0u : 1u))
        << "the refused request was sent too";
    EXPECT_GT(value("out"), 0u);
    EXPECT_GT(value("in"), 0u);
    EXPECT_LE(value("rtt_avg"), static_cast<uint64_t>(kBoundMs));

    EXPECT_EQ(host.Command(instance, "UNLOAD", {Param("INI-FILE", ini.Name)}).Code, 0);
    EXPECT_EQ(host.Free(instance), 0);
  }
}

}  // namespace
