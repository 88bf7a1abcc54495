#include "tools/PollLineUse.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <sstream>

#include "tools/PollTimedLine.h"

namespace kelda::host {

namespace {

// The text of <tag>...</tag> in block, or empty.
std::string TagText(const std::string& block, const std::string& tag) {
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  const std::size_t start = block.find(open);
  if (start == std::string::npos) return "";
  const std::size_t from = start + open.size(), end = block.find(close, from);
  return end == std::string::npos ? "" : block.substr(from, end - from);
}

// Whether <tag check="..."/> is ticked; `absent` when the tag is missing.
bool Checked(const std::string& block, const std::string& tag, bool absent) {
  const std::size_t at = block.find("<" + tag + " check=\"");
  if (at == std::string::npos) return absent;
  const std::size_t value = at + tag.size() + 9;
  return value < block.size() && block[value] != '0';
}

uint32_t Whole(const std::string& text) {
  std::size_t from = text.find_first_not_of(" \t\r\n");
  if (from == std::string::npos) return 0;
  uint32_t value = 0;
  std::from_chars(text.data() + from, text.data() + text.size(), value);
  return value;
}

std::string Unescape(std::string text) {
  static const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
  for (const auto& [entity, plain] : entities)
    for (std::size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1))
      text.replace(at, std::string(entity).size(), plain);
  return text;
}

// Each <open ...> ... </close> block of text in turn.
std::vector<std::string> Blocks(const std::string& text, const std::string& open, const std::string& close) {
  std::vector<std::string> blocks;
  for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1)) {
    const char after = at + open.size() < text.size() ? text[at + open.size()] : '\0';
    if (after != '>' && after != ' ') continue;  // <RequestMethod> is not a <Request>
    const std::size_t end = text.find(close, at);
    if (end == std::string::npos) break;
    blocks.push_back(text.substr(at, end - at));
    at = end;
  }
  return blocks;
}

std::vector<std::string> ItemNames(const std::string& request) {
  std::vector<std::string> names;
  for (const std::string& item : Blocks(request, "<Item", "</Item>")) {
    const std::string name = Unescape(TagText(item, "Name"));
    if (!Checked(item, "AppendCnt", false)) {
      names.push_back(name);
      continue;
    }
    const uint32_t count = std::max<uint32_t>(1, Whole(TagText(item, "Count")));
    const uint32_t first = Checked(item, "ZeroBaseCnt", false) ? 0 : 1;
    for (uint32_t k = 0; k < count; ++k) names.push_back(name + std::to_string(first + k));
  }
  return names;
}

bool IsWordTable(int memory) {
  return memory == 0x08 || memory == 0x0A || memory == 0x0C;
}

bool IsBitTable(int memory) {
  return memory >= 0x46 && memory <= 0x56 && memory % 2 == 0;
}

std::string Fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Share(double achieved, double limit) {
  return limit > 0 ? Fixed(100.0 * achieved / limit, 0) + " %" : "?";
}

}  // namespace

std::vector<TPolledRequest> RequestsOf(const std::string& configuration) {
  std::vector<TPolledRequest> requests;
  for (const std::string& block : Blocks(configuration, "<Request", "</Request>")) {
    TPolledRequest request;
    const std::size_t caption = block.find("caption=\"");
    if (caption != std::string::npos && caption < block.find('>')) {
      const std::size_t from = caption + 9;
      request.Caption = Unescape(block.substr(from, block.find('"', from) - from));
    }
    request.Enabled = Checked(block, "Enabled", true);
    request.Polled = Checked(block, "MethodPoll", true);
    request.Memory = static_cast<int>(Whole(TagText(block, "Memory")));
    request.Offset = Whole(TagText(block, "Offset"));
    request.Size = Whole(TagText(block, "Size"));
    // As the module reads it: a missing or unreadable interval is 1000, "S", "M", "H" multiply.
    const std::string interval = TagText(block, "PollInterval");
    const std::string units = TagText(block, "PollUnits");
    uint64_t ms = interval.find_first_not_of(" \t\r\n") == std::string::npos ? 1000 : Whole(interval);
    ms *= units == "S" ? 1000 : units == "M" ? 60000 : units == "H" ? 3600000 : 1;
    request.PollIntervalMs = static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(ms, 1), UINT32_MAX));
    request.Names = ItemNames(block);
    if (request.Caption.empty()) request.Caption = "request " + std::to_string(requests.size() + 1);
    requests.push_back(request);
  }
  return requests;
}

std::size_t ReadDataBytes(const TPolledRequest& request, plcsim::Mode protocol) {
  if (protocol == plcsim::Mode::CcmMasterSlave || protocol == plcsim::Mode::CcmPeerToPeer)
    return request.Size;  // CCM lengths count bytes
  if (request.Size == 0) return 0;
  if (IsBitTable(request.Memory)) return (request.Offset + request.Size - 1) / 8 - request.Offset / 8 + 1;
  if (IsWordTable(request.Memory)) return 2u * request.Size;
  return request.Size;  // the byte selectors
}

void TLineUse::TTally::Add(uint64_t ms) {
  if (Rows++ == 0) FirstMs = ms;
  LastMs = ms;
}

std::optional<double> TLineUse::TTally::PerSecond() const {
  if (Rows < 2 || LastMs <= FirstMs) return std::nullopt;
  return 1000.0 * static_cast<double>(Rows - 1) / static_cast<double>(LastMs - FirstMs);
}

TLineUse::TLineUse(const TPollOptions& options, const std::string& configuration)
    : FOptions(options),
      FSession(options.Fast ? plcsim::SessionUse::KeepSession : plcsim::SessionUse::BreakAndAttachEachRead) {
  if (options.Simulated() && options.SimBaud != 0) {
    FFormat = SimLineFormat(options);
  } else if (!options.Simulated()) {
    plcsim::LineFormat format;
    format.baud = options.Serial.BaudRate;
    format.parity = options.Serial.Parity != platform::TParity::None;
    format.stopBits = options.Serial.StopBits;
    FFormat = format;
  }
  if (!FFormat) return;
  FRules.snpT1Ms = std::max(kModuleSnpT1Ms, plcsim::kSnpSlaveT1Ms);
  FRules.breakMs = kModuleBreakMs;
  // The module waits GE's T4 after the break only with one of its speed settings on; by default
  // its attach follows the break at once, and the figure counts what the module sends.
  FModuleKeepsT4 = options.Fast;
  for (const auto& [key, value] : options.Settings)
    if ((key == "Keep session" || key == "Send when ready") && value != "0") FModuleKeepsT4 = true;
  if (!FModuleKeepsT4) FRules.t4Ms = 0;
  for (const TPolledRequest& request : RequestsOf(configuration)) {
    if (!request.Enabled || !request.Polled) {
      FReadOnce.push_back(request);
      continue;
    }
    FRequests.push_back(TRequestUse{request, {}, {}});
  }
  Measure();
}

void TLineUse::Measure() {
  FCycleMs = 0;
  for (TRequestUse& use : FRequests) {
    use.Wire = plcsim::ReadExchange(FOptions.Protocol, ReadDataBytes(use.Request, FOptions.Protocol),
                                    *FFormat, FSession, FRules);
    FCycleMs += use.Wire.cycleMs;
  }
}

void TLineUse::NoBreaks() {
  if (FNoBreaks || !FFormat) return;
  FNoBreaks = true;
  FRules.breakMs = 0;
  FRules.t4Ms = 0;
  Measure();
}

void TLineUse::Row(const TRow& values, uint64_t nowMs) {
  // The row also carries the standard fields (MEMORY, PLC_STATUS, ...); a value of the request's
  // own items tells which request it answers.
  auto answers = [&](const TPolledRequest& request) {
    for (const auto& value : values)
      if (std::find(request.Names.begin(), request.Names.end(), value.first) != request.Names.end())
        return true;
    return false;
  };
  for (const TPolledRequest& once : FReadOnce)
    if (answers(once)) return;
  FAll.Add(nowMs);
  for (TRequestUse& use : FRequests)
    if (answers(use.Request)) {
      use.Tally.Add(nowMs);
      return;
    }
}

double TLineUse::WireLimitedPerSecond() const {
  return FCycleMs > 0 ? 1000.0 * static_cast<double>(FRequests.size()) / FCycleMs : 0;
}

double TLineUse::AskedPerSecond() const {
  double asked = 0;
  for (const TRequestUse& use : FRequests) asked += 1000.0 / use.Request.PollIntervalMs;
  return asked;
}

std::optional<double> TLineUse::AchievedPerSecond() const {
  return FAll.PerSecond();
}

// "82 %", or above 100 % with the reason said: the line took less time than its figure counts.
std::string TLineUse::WireShare(double achieved, double limit) const {
  const std::string share = Share(achieved, limit);
  if (limit <= 0 || achieved <= limit * 1.02) return share;
  if (FNoBreaks && !FOptions.Simulated())
    return share + ": the line paces nothing (a pseudo-terminal carries no time), so the wire is no limit";
  return share + ": the PLC answered sooner than the wire allows (a line faster than it is set to?)";
}

std::string TLineUse::Report() const {
  if (!FFormat || FRequests.empty()) return "";
  const bool snpFamily = FOptions.Protocol == plcsim::Mode::Snp || FOptions.Protocol == plcsim::Mode::SnpX;
  const char parity = !FFormat->parity ? 'N' : FOptions.Serial.Parity == platform::TParity::Even ? 'E' : 'O';
  std::ostringstream text;
  text << "line use at " << FFormat->baud << " 8" << parity << int{FFormat->stopBits};
  if (snpFamily && FSession == plcsim::SessionUse::KeepSession)
    text << ", session kept";
  else if (snpFamily && FNoBreaks)
    text << ", attach without a break before every read (the line carries no breaks)";
  else if (snpFamily)
    text << ", break + attach before every read"
         << (FModuleKeepsT4 ? "" : " (no T4 wait: the module's default)");
  const double wire = WireLimitedPerSecond();
  const double asked = AskedPerSecond();
  const auto achieved = AchievedPerSecond();
  if (achieved)
    text << ": " << Fixed(*achieved, 1) << " reads/s of " << Fixed(wire, 1) << " wire-limited ("
         << WireShare(*achieved, wire) << ")\n";
  else
    text << ": too few reads to measure (two answers of polled requests are needed); " << Fixed(wire, 1)
         << " reads/s wire-limited\n";
  text << "  the poll intervals ask " << Fixed(asked, 1) << " reads/s"
       << (asked > wire ? ", more than the wire carries: the line is the limit"
                        : ": the intervals are the limit, not the line");
  if (achieved) text << "; achieved " << Share(*achieved, asked) << " of what they ask";
  text << "\n";
  const double eachInTurn = FCycleMs > 0 ? 1000.0 / FCycleMs : 0;
  for (const TRequestUse& use : FRequests) {
    const auto rate = use.Tally.PerSecond();
    const double own = 1000.0 / use.Request.PollIntervalMs;
    text << "  " << use.Request.Caption << " (every " << use.Request.PollIntervalMs << " ms): ";
    if (rate)
      text << Fixed(*rate, 1) << " reads/s, " << Share(*rate, own) << " of " << Fixed(own, 1) << " asked";
    else
      text << "too few reads to measure, of " << Fixed(own, 1) << " asked";
    text << "; " << Fixed(use.Wire.cycleMs, 1) << " ms on the wire per read (" << Fixed(eachInTurn, 1)
         << " reads/s with every request in turn)\n";
  }
  return text.str();
}

}  // namespace kelda::host
