// Time to collect and write the poller's report of a long run: 100,000 rows of ten values with
// a failure every 500 rows, collected as the poller does, then the whole XHTML file written. A
// plain program (no Google Benchmark); the goal is a file written in under a second. Then the
// memory of a long, wide run: 200 values over 140,000 rows with a failure every 50 rows, its live
// heap and peak counted by bench/CountingHeap.h.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/CountingHeap.h"
#include "tools/PollReport.h"

using namespace kelda::host;

namespace {

double Megabytes(long long bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// The peak heap while a report collects a run of `rows` rows of 200 values (ten requests of
// twenty), a failure every 50 rows.
long long LongRunPeakBytes(uint64_t rows) {
  const std::string path = (std::filesystem::temp_directory_path() / "kelda-report-memory.html").string();
  const long long before = kelda::bench::LiveHeapBytes();
  kelda::bench::ResetHeapPeak();
  {
    TPollReport report(path);
    TReportSetup setup;
    for (int r = 0; r < 10; ++r)
      setup.Requests.push_back({"Request " + std::to_string(r), "%R1-%R20", "", 100, true});
    report.Setup(setup);
    TRequestValues row;
    for (uint64_t i = 0; i < rows; ++i) {
      const std::size_t request = i % 10;
      row.clear();
      for (int k = 1; k <= 20; ++k)
        row.emplace_back("V" + std::to_string(k), std::to_string((i * 7 + k * 13) % 1000));
      report.Row(request, row, i * 10, 20 + i % 17);
      if (i % 50 == 49) report.Failure(request, "no data in time", TFailureKind::Timeout, i * 10 + 5);
    }
  }
  std::filesystem::remove(path);
  return kelda::bench::PeakHeapBytes() - before;
}

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

int main() {
  constexpr uint64_t kRows = 100000;
  const std::string path = (std::filesystem::temp_directory_path() / "kelda-report-bench.html").string();
  TPollReport report(path);
  TReportSetup setup;
  setup.ConfigFile = "bench.xml";
  setup.Protocol = "SNP-X";
  setup.Line = "simulated";
  setup.StartClock = "2026-12-08T00:00:00.000";
  setup.Requests.push_back({"Tank levels", "%R1-%R10", "Tank levels: SNP-X ID PLC1, %R1-%R10", 100, true});
  setup.Requests.push_back({"Pumps", "%AI1-%AI4", "Pumps: SNP-X ID PLC1, %AI1-%AI4", 100, true});
  report.Setup(setup);

  const auto collectStart = std::chrono::steady_clock::now();
  TRequestValues row;
  for (uint64_t i = 0; i < kRows; ++i) {
    const std::size_t request = i % 4 == 3 ? 1 : 0;
    row.clear();
    row.emplace_back("TARGET_ADDRESS", "PLC1");
    for (int k = 1; k <= 10; ++k)
      row.emplace_back((request ? "AI" : "LEVEL") + std::to_string(k),
                       std::to_string((i * 7 + k * 13) % 1000));
    report.Row(request, row, i * 10, 20 + i % 17);
    if (i % 500 == 499) report.Failure(request, "no data in time", TFailureKind::Timeout, i * 10 + 5);
  }
  const auto writeStart = std::chrono::steady_clock::now();
  TReportEnd end;
  end.Ms = kRows * 10;
  end.EndClock = "2026-12-08T00:16:40.000";
  end.HowEnded = "the end of the run asked for";
  report.Write(end);
  const auto done = std::chrono::steady_clock::now();

  const auto bytes = std::filesystem::file_size(path);
  std::filesystem::remove(path);
  const double write = Seconds(done - writeStart);
  std::printf(
      "report of %llu rows (10 values each, %llu failures): collected in %.3f s, written in %.3f s "
      "(%.0f KB)\n",
      static_cast<unsigned long long>(kRows), static_cast<unsigned long long>(kRows / 500),
      Seconds(writeStart - collectStart), write, static_cast<double>(bytes) / 1024);
  // Ten requests of twenty values: each request's rows are a tenth of the run's.
  constexpr uint64_t kLongRows = 140000 * 10;
  std::printf("memory of a run of 200 values over %llu rows each (%llu failures): peak %.1f MB\n",
              static_cast<unsigned long long>(kLongRows / 10),
              static_cast<unsigned long long>(kLongRows / 50), Megabytes(LongRunPeakBytes(kLongRows)));
  if (write >= 1.0) {
    std::printf("above the goal of 1 s\n");
    return 1;
  }
  return 0;
}
