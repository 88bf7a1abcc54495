#include "tools/KeldaCheck.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Common/Thread_ObjectList.h"
#include "module/PluginDM_ConfigCheck.h"
#include "tools/ConsoleText.h"
#include "platform/Sync.h"

namespace kelda::host {

namespace {

const char* kUsage =
    "usage: kelda-host check CONFIG --protocol ccm-ms|ccm-peer|snp|snpx\n"
    "  prints what the module finds doubtful in the configuration file, with line and column,\n"
    "  then each request in GE's terms; exit 0 clean, 1 findings, 2 unreadable\n";

bool ProtocolOf(const std::string& name, uint8_t& protocol) {
  static const struct {
    const char* Name;
    uint8_t Protocol;
  } names[] = {{"ccm-ms", protoCcmMasterSlave},
               {"ccm-peer", protoCcmPeerToPeer},
               {"snp", protoSnp},
               {"snpx", protoSnpX}};
  for (const auto& n : names)
    if (name == n.Name) {
      protocol = n.Protocol;
      return true;
    }
  return false;
}

std::string Target(const TRequestItem& r, uint8_t protocol) {
  switch (protocol) {
    case protoCcmMasterSlave:
      return "CCM master-slave station " + std::to_string(CcmTargetNumber(r.Address) & 0xFF);
    case protoCcmPeerToPeer:
      return "CCM peer-to-peer station " + std::to_string(CcmTargetNumber(r.Address) & 0xFF);
    default:
      break;
  }
  const std::string id = r.Address.empty() ? "(none: any PLC)" : r.Address.substr(0, 7);
  return (protocol == protoSnp ? "SNP ID " : "SNP-X ID ") + id;
}

std::string Range(const std::string& prefix, int64_t first, int64_t count) {
  if (count <= 1) return prefix + std::to_string(first);
  const int64_t last = first + count - 1;
  if (!prefix.empty() && prefix.back() == ' ')
    return prefix + std::to_string(first) + "-" + std::to_string(last);
  return prefix + std::to_string(first) + "-" + prefix + std::to_string(last);
}

// The GE references the request reads.
std::string ReadRange(const TRequestItem& r, const TReadLayout& layout) {
  if (layout.Unit != TReadLayout::Unknown) return Range(layout.Prefix, layout.ReadFirst, layout.ReadCount);
  return "memory " + std::to_string(r.Memory) + " Offset " + std::to_string(r.Offset) + " Size " +
         std::to_string(r.Size);
}

std::string Interval(int32_t ms) {
  if (ms > 0 && ms % 3600000 == 0) return std::to_string(ms / 3600000) + " h";
  if (ms > 0 && ms % 60000 == 0) return std::to_string(ms / 60000) + " min";
  if (ms > 0 && ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

std::string ItemName(const TResponseItem& item) {
  const std::string name = item.Name.empty() ? "(no name)" : item.Name;
  if (item.Count <= 1) return name;
  if (!item.AppendCnt) return name + " x" + std::to_string(item.Count);
  const int64_t first = item.ZeroBaseCnt ? 0 : 1;
  return name + std::to_string(first) + "-" + std::to_string(first + item.Count - 1);
}

std::string Scale(long double scale) {
  std::ostringstream text;
  text.precision(10);
  text << static_cast<double>(scale);
  return text.str();
}

// One item: name, type, scale and where its first value lies; the decoder's positions.
std::string DescribeItem(const TResponseItem& item, const TReadLayout& layout, int64_t& next) {
  const int64_t pos = item.Offset == -1 ? next : item.Offset;
  const int64_t count = item.Count > 0 ? item.Count : 0;
  const int64_t length = layout.DataBytes;
  std::string text = ItemName(item) + " " + std::string(DataTypeName(item.DataType));
  if (item.Scale != 1) text += " x" + Scale(item.Scale);
  text += (count > 1 ? " from " : " at ") + ReferenceAt(layout, pos, 0);
  int64_t end = 0;  // the byte after the item's last value
  if (item.DataType == dtS) {
    const bool fits = pos >= 0 && pos + 255 <= length;
    next = fits ? length + (count - 1) * (length - pos) : pos + 255 * count;
    if (!fits) return text + " (too short a read: Default)";
    end = count > 1 ? length + 1 : length;
  } else if (item.DataType == dtBIT) {
    next = pos + count / 8;
    end = pos + (count + 7) / 8;
  } else {
    next = pos + count * item.ByteSize;
    end = next;
  }
  next = std::min<int64_t>(next, int64_t{1} << 40);  // past every read; no overflow further on
  if (layout.Unit == TReadLayout::Unknown || count == 0) return text;
  if (pos < 0 || pos >= length) return text + " (past the read: Default)";
  if (end > length) return text + " (partly past the read: Default)";
  return text;
}

}  // namespace

std::string DescribeRequest(const TRequestItem& r, uint8_t protocol) {
  const TReadLayout layout = ReadLayoutOf(r, protocol);
  std::string text = r.Name + ": " + Target(r, protocol) + ", " + ReadRange(r, layout);
  text += r.MethodPoll ? " every " + Interval(r.PollInterval) : " once at start-up";
  if (!r.Enabled) text += ", not sent (parse only)";
  text += ":";
  if (r.ResponseItems.empty()) return text + " no items";
  int64_t next = 0;
  const char* separator = " ";
  for (const TResponseItem* item : r.ResponseItems) {
    text += separator + DescribeItem(*item, layout, next);
    separator = ", ";
  }
  return text;
}

std::vector<std::string> ValueNamesFromData(const TRequestItem& r, uint8_t protocol) {
  const TReadLayout layout = ReadLayoutOf(r, protocol);
  const int64_t length = layout.DataBytes;
  const bool known = layout.Unit != TReadLayout::Unknown;
  std::vector<std::string> names;
  int64_t next = 0;
  for (const TResponseItem* item : r.ResponseItems) {
    // The decoder's walk: a value is read when its step and the bytes it reads lie inside the
    // data; a value left to its Default keeps the step of the value before it.
    int64_t pos = item->Offset == -1 ? next : item->Offset;
    int64_t size = item->ByteSize;
    const int64_t width = item->DataType == dtS     ? 0
                          : item->DataType == dtBIT ? 1
                                                    : std::max<int64_t>(item->ByteSize, 1);
    for (int64_t k = 0; k < item->Count; ++k) {
      const bool fromData = pos >= 0 && pos + size <= length && pos + width <= length;
      if (fromData && item->DataType == dtS) size = length - pos;
      if (fromData && item->DataType == dtBIT) size = k % 8 == 7 ? 1 : 0;
      if (fromData || !known) {
        std::string name = item->Name;
        if (item->AppendCnt) name += std::to_string(item->ZeroBaseCnt ? k : k + 1);
        names.push_back(std::move(name));
      }
      pos += size;
      if (pos > (int64_t{1} << 40)) break;  // past every read: nothing further comes from the data
    }
    next = pos;
  }
  return names;
}

int CheckMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string file;
  std::string protocolName;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      out << kUsage;
      return kCheckClean;
    }
    if (args[i] == "--protocol" && i + 1 < args.size()) {
      protocolName = args[++i];
    } else if (file.empty() && !args[i].empty() && args[i][0] != '-') {
      file = args[i];
    } else {
      err << "kelda-host check: unexpected argument \"" << args[i] << "\"\n" << kUsage;
      return kCheckUnreadable;
    }
  }
  uint8_t protocol = 0;
  if (file.empty() || !ProtocolOf(protocolName, protocol)) {
    err << "kelda-host check: " << (file.empty() ? "CONFIG is required" : "--protocol is required") << "\n"
        << kUsage;
    return kCheckUnreadable;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    err << "kelda-host check: cannot read " << file << "\n";
    return kCheckUnreadable;
  }
  TDataSourceCfg settings(nullptr);
  settings.lblParams_Caption.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  settings.comboProto_ItemIndex = protocol;

  const std::vector<TConfigFinding> findings = CheckConfiguration(settings.lblParams_Caption, protocol);
  const TTextResources texts(nullptr);  // English
  bool readable = !settings.lblParams_Caption.empty();
  for (const TConfigFinding& finding : findings) {
    out << file;
    if (finding.Line > 0) out << ":" << finding.Line << ":" << finding.Column;
    out << ": " << ConsoleText(FindingText(finding, texts)) << "\n";
    if (finding.Kind == TCheckFinding::NoQuery) readable = false;
  }
  if (!readable) {
    out << file << ": not a request configuration\n";
    return kCheckUnreadable;
  }

  TThreadObjectList queue(true);
  LoadRequestQueue(nullptr, &settings, queue, nullptr);
  out << (findings.empty() ? "no findings" : std::to_string(findings.size()) + " finding(s)") << "; "
      << queue.Count() << " request(s) as the module reads them:\n";
  platform::ReadGuard guard(queue);
  for (TObject* object : *static_cast<TObjectList*>(queue.GuardedObject()))
    out << "  " << ConsoleText(DescribeRequest(*static_cast<TRequestItem*>(object), protocol)) << "\n";
  return findings.empty() ? kCheckClean : kCheckFindings;
}

}  // namespace kelda::host
