// Random configurations for the engine's invariant test: PLCs on one line, requests over every
// memory type and size the protocols allow, response items on and past the read, speed settings;
// and the reference reading of a row's values from the bytes the PLC sent.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "EngineSimKit.h"

namespace kelda::invariant {

using Random = std::mt19937;

inline uint32_t Pick(Random& random, uint32_t low, uint32_t high) {  // low..high inclusive
  return low + static_cast<uint32_t>(random() % (uint64_t{high} - low + 1));
}
inline bool Chance(Random& random, double p) {
  return std::uniform_real_distribution<double>(0, 1)(random) < p;
}

struct TItemSpec {
  std::string Name;  // the row's names are Name, or Name and 1..Count
  uint8_t Type = dtD16;
  int32_t Offset = -1;
  int32_t Count = 1;
  bool LE = false;
  bool Swapped = false;
  bool Unsigned = true;
  std::string Default = "0";
};

struct TRequestSpec {
  int Station = 0;
  std::string Address;
  uint8_t Memory = 8;
  int32_t Offset = 0;
  int32_t Size = 1;
  bool Poll = true;
  int32_t PollMs = 200;
  int32_t TimeoutMs = 1000;
  bool Refused = false;  // the PLC refuses the read (a memory it has not, a range past its table)
  std::vector<TItemSpec> Items;
};

struct TStationSpec {
  std::string SnpId;
  uint8_t CcmId = 2;
  bool LrcFramed = true;  // CCM: the data blocks' LRC over STX..ETX, or over the data alone
  size_t SnpDataSize = 1000;
  uint16_t PlcStatus = 0;
};

struct TConfig {
  uint32_t Seed = 0;
  uint8_t Protocol = protoCcmMasterSlave;
  TSpeedSettings Speed;
  int32_t MinInterval = 0;
  uint32_t ByteTimeUs = 0;  // the line's time per character; 0: the line takes no time
  std::vector<TStationSpec> Stations;
  std::vector<TRequestSpec> Requests;
};

inline const char* ProtocolKey(uint8_t protocol) {
  static const char* const keys[] = {"ccm", "peer", "snp", "snpx"};
  return keys[protocol & 3];
}

// --- memory -----------------------------------------------------------------------------------

// The segment selectors an SNP or SNP-X read may name, with the table's size in its unit.
struct TSelector {
  uint8_t Code;
  bool Bits;
  uint32_t Elements;
};
inline constexpr TSelector kSnpSelectors[] = {
    {0x08, false, 32640}, {0x0A, false, 2048}, {0x0C, false, 2048}, {0x46, true, 2048},
    {0x48, true, 2048},   {0x56, true, 1280},  {0x4C, true, 4096},  {0x54, true, 128},
    {0x4E, true, 128},    {0x50, true, 128},   {0x52, true, 128},
};
// Every memory code of the option list.
inline constexpr uint8_t kMemoryCodes[] = {0x08, 0x0A, 0x0C, 0x46, 0x48, 0x56, 0x4C,
                                           0x54, 0x4E, 0x50, 0x52, 0x80, 0x81};

inline const TSelector* FindSelector(uint8_t code) {
  for (const TSelector& s : kSnpSelectors)
    if (s.Code == code) return &s;
  return nullptr;
}

// --- generation -------------------------------------------------------------------------------

// Bytes a read brings, as GE's PLCs send them: CCM counts bytes; SNP words are two bytes, bits
// whole memory bytes from the one holding the first bit.
inline int32_t ReadLength(uint8_t protocol, const TRequestSpec& r) {
  if (protocol <= protoCcmPeerToPeer) return r.Size;
  const TSelector* s = FindSelector(r.Memory);
  if (!s) return r.Size * 2;
  if (!s->Bits) return r.Size * 2;
  return (r.Offset + r.Size - 1) / 8 - r.Offset / 8 + 1;
}

inline int32_t SizeBytes(Random& random, int32_t most) {
  const uint32_t kind = Pick(random, 0, 9);
  int32_t size = kind < 4   ? static_cast<int32_t>(Pick(random, 1, 6))
                 : kind < 7 ? static_cast<int32_t>(Pick(random, 7, 256))
                            : static_cast<int32_t>(Pick(random, 257, 800));
  return std::min(size, most);
}

inline void MakeCcmRead(Random& random, TRequestSpec& r) {
  r.Memory = kMemoryCodes[Pick(random, 0, 12)];
  switch (CcmMemoryType(r.Memory)) {
    case 1:  // registers, numbered from 1
      r.Size = SizeBytes(random, 1600);
      r.Offset = static_cast<int32_t>(Pick(random, 1, 4000));
      if (Chance(random, 0.04)) {  // past the register table
        r.Offset = 40000;
        r.Refused = true;
      }
      break;
    case 2:
    case 3: {  // points, numbered from 1, read from a byte boundary in bytes
      r.Size = SizeBytes(random, 64);
      r.Offset = 1 + 8 * static_cast<int32_t>(Pick(random, 0, static_cast<uint32_t>(256 - r.Size)));
      if (Chance(random, 0.04)) {
        r.Offset += 3;  // not on a byte boundary
        r.Refused = true;
      }
      break;
    }
    case 6:  // scratch pad bytes 0..255
      r.Size = SizeBytes(random, 256);
      r.Offset = static_cast<int32_t>(Pick(random, 0, static_cast<uint32_t>(256 - r.Size)));
      break;
    default: {  // diagnostic status words 1..20
      r.Size = static_cast<int32_t>(Pick(random, 1, 40));
      const int32_t words = (r.Size + 1) / 2;
      r.Offset = static_cast<int32_t>(Pick(random, 1, static_cast<uint32_t>(21 - words)));
      break;
    }
  }
}

inline void MakeSnpRead(Random& random, TRequestSpec& r, bool snpX) {
  if (Chance(random, 0.03)) {  // the CCM-only tables: a memory the PLC has not
    r.Memory = Chance(random, 0.5) ? 0x80 : 0x81;
    r.Offset = 0;
    r.Size = static_cast<int32_t>(Pick(random, 1, 8));
    r.Refused = true;
    return;
  }
  const TSelector& s = kSnpSelectors[Pick(random, 0, std::size(kSnpSelectors) - 1)];
  r.Memory = s.Code;
  const int32_t mostBytes = snpX ? 1000 : 2000;
  const int32_t bytes = SizeBytes(random, mostBytes);
  if (s.Bits) {
    r.Size = std::min<int32_t>(bytes * 8 - static_cast<int32_t>(Pick(random, 0, 7)), s.Elements);
    r.Size = std::max(r.Size, 1);
    if (Chance(random, 0.3)) r.Size = static_cast<int32_t>(Pick(random, 1, 20));
    const uint32_t room = s.Elements - static_cast<uint32_t>(r.Size);
    r.Offset = static_cast<int32_t>(Pick(random, 0, room));
    if (Chance(random, 0.4)) r.Offset -= r.Offset % 8;  // on a byte boundary
    // Off a byte boundary the bits may span one memory byte more than they fill.
    if (snpX && ReadLength(protoSnpX, r) > 1000) r.Size -= 8;
  } else {
    r.Size = std::max(1, bytes / 2);
    r.Offset = static_cast<int32_t>(Pick(random, 0, s.Elements - static_cast<uint32_t>(r.Size)));
  }
  if (Chance(random, 0.03)) {  // past the end of the table
    r.Offset = static_cast<int32_t>(s.Elements);
    r.Refused = true;
  }
}

inline std::string DefaultFor(Random& random, uint8_t type, bool isUnsigned) {
  switch (type) {
    case dtBIT:
      return Chance(random, 0.5) ? "1" : "0";
    case dtS:
      return "none";
    case dtF32:
    case dtF64:
      return "1.5";
    default:
      return std::to_string(isUnsigned ? static_cast<int>(Pick(random, 0, 120))
                                       : static_cast<int>(Pick(random, 0, 120)) - 60);
  }
}

// Items that read the data (the first one always at its start, so every answer shows in the
// row), continue after each other, reach past the read's end, or lie wholly past it.
inline void MakeItems(Random& random, TRequestSpec& r, int index, int32_t length) {
  static const uint8_t kTypes[] = {dtD8, dtD16, dtD16, dtD32, dtD64, dtF32, dtF64, dtBIT, dtBIT};
  const int items = static_cast<int>(Pick(random, 1, 4));
  for (int k = 0; k < items; ++k) {
    TItemSpec item;
    item.Name = "r" + std::to_string(index) + "i" + std::to_string(k) + "_";
    item.Type = k == 0 ? static_cast<uint8_t>(length >= 2 ? dtD16 : dtD8)
                       : kTypes[Pick(random, 0, std::size(kTypes) - 1)];
    item.LE = Chance(random, 0.5);
    item.Swapped = Chance(random, 0.5);
    item.Unsigned = Chance(random, 0.6);
    const int32_t width = item.Type == dtBIT ? 1 : DataTypeByteSize(item.Type);
    if (k == 0) {
      item.Offset = 0;
      item.Count = static_cast<int32_t>(
          Pick(random, 1, static_cast<uint32_t>(std::max(1, std::min(length / width, 4)))));
    } else {
      const uint32_t where = Pick(random, 0, 3);
      item.Offset = where == 0   ? -1
                    : where == 1 ? static_cast<int32_t>(Pick(random, 0, static_cast<uint32_t>(length)))
                    : where == 2 ? std::max(0, length - width + 1)  // straddles the end
                                 : length + static_cast<int32_t>(Pick(random, 0, 6));
      item.Count = static_cast<int32_t>(Pick(random, 1, item.Type == dtBIT ? 20 : 4));
    }
    if (k > 0 && Chance(random, 0.05)) {  // a text: only its default, it never fits
      item.Type = dtS;
      item.Offset = length;
      item.Count = 1;
    }
    item.Default = DefaultFor(random, item.Type, item.Unsigned);
    r.Items.push_back(item);
  }
}

// GE's T2 runs from the end of the master's message; the engine's handshake time runs from the
// hand-over, so on a slow SNP line a user's setting must also cover the 40-byte mailbox on its
// way out and the PLC's turnaround, or no attempt at all could succeed.
inline void FitHandshakeToLine(TSpeedSettings& speed, uint8_t protocol, uint32_t byteTimeUs) {
  if (protocol != protoSnp) return;
  speed.HandshakeTimeout =
      std::max(speed.HandshakeTimeout, static_cast<int32_t>(40 * byteTimeUs / 1000 + 200));
}

// A configuration drawn from `seed`; `protocol` < 0 draws the protocol too.
inline TConfig MakeConfig(uint32_t seed, int protocol) {
  Random random(seed);
  TConfig config;
  config.Seed = seed;
  config.Protocol = static_cast<uint8_t>(protocol >= 0 ? protocol : static_cast<int>(Pick(random, 0, 3)));
  const bool ccm = config.Protocol <= protoCcmPeerToPeer;
  TSpeedSettings& speed = config.Speed;
  speed.KeepSession = Chance(random, 0.5);
  speed.SendWhenReady = Chance(random, 0.5);
  speed.HandshakeTimeout = static_cast<int32_t>(Pick(random, 200, 2000));
  speed.Retries = Chance(random, 0.5) ? 0 : static_cast<int32_t>(Pick(random, 1, 3));
  speed.DemoteAfter = Chance(random, 0.6) ? 0 : static_cast<int32_t>(Pick(random, 1, 4));
  speed.DemoteFor = static_cast<int32_t>(Pick(random, 300, 4000));
  config.MinInterval = Chance(random, 0.8) ? 0 : static_cast<int32_t>(Pick(random, 10, 300));
  static const uint32_t kByteTimes[] = {0, 0, 0, 573, 1042, 1146, 2083, 9167};  // 0, 19200 .. 1200 baud
  config.ByteTimeUs = kByteTimes[Pick(random, 0, std::size(kByteTimes) - 1)];
  FitHandshakeToLine(speed, config.Protocol, config.ByteTimeUs);

  // Peers on one CCM line all answer the single ENQ; so peer to peer is one target.
  const int stations = config.Protocol == protoCcmPeerToPeer ? 1 : static_cast<int>(Pick(random, 1, 3));
  static const uint8_t kCcmIds[] = {2, 3, 5, 9, 17, 33, 90};
  static const char* const kSnpIds[] = {"PLC1", "PLC2", "A7", "LINE3", "X", "TANK77"};
  uint32_t idBase = Pick(random, 0, 6);
  for (int k = 0; k < stations; ++k) {
    TStationSpec station;
    station.CcmId = config.Protocol == protoCcmPeerToPeer ? static_cast<uint8_t>(Pick(random, 1, 254))
                                                          : kCcmIds[(idBase + static_cast<uint32_t>(k)) % 7];
    station.SnpId = kSnpIds[(idBase + static_cast<uint32_t>(k)) % 6];
    station.LrcFramed = Chance(random, 0.6);
    static const size_t kDataSizes[] = {40, 64, 200, 1000};
    station.SnpDataSize = kDataSizes[Pick(random, 0, 3)];
    station.PlcStatus = static_cast<uint16_t>(random() & 0xF3FF);
    config.Stations.push_back(station);
  }
  const int requests = static_cast<int>(Pick(random, 1, 5));
  for (int k = 0; k < requests; ++k) {
    TRequestSpec r;
    r.Station = static_cast<int>(Pick(random, 0, static_cast<uint32_t>(stations - 1)));
    const TStationSpec& station = config.Stations[static_cast<size_t>(r.Station)];
    r.Address = ccm ? std::to_string(station.CcmId) : station.SnpId;
    if (ccm)
      MakeCcmRead(random, r);
    else
      MakeSnpRead(random, r, config.Protocol == protoSnpX);
    r.Poll = Chance(random, 0.85);
    static const int32_t kPolls[] = {0, 1, 50, 100, 200, 500, 1000, 2000};
    r.PollMs = kPolls[Pick(random, 0, std::size(kPolls) - 1)];
    r.TimeoutMs = static_cast<int32_t>(Pick(random, 200, 3000));
    MakeItems(random, r, k, ReadLength(config.Protocol, r));
    config.Requests.push_back(r);
  }
  return config;
}

// A fresh queue entry for a request, as the configuration loader makes it.
inline std::unique_ptr<TRequestItem> BuildRequest(const TConfig& config, size_t index) {
  const TRequestSpec& r = config.Requests[index];
  auto request = std::make_unique<TRequestItem>();
  request->Enabled = true;
  request->Name = "Q" + std::to_string(index);
  request->Address = r.Address;
  request->Memory = r.Memory;
  request->Offset = r.Offset;
  request->Size = r.Size;
  request->MethodPoll = r.Poll;
  request->PollInterval = r.PollMs;
  request->Timeout = r.TimeoutMs;
  request->HandshakeTimeout = config.Speed.HandshakeTimeout;
  for (const TItemSpec& spec : r.Items) {
    auto item = std::make_unique<TResponseItem>();
    item->Name = spec.Name;
    item->SetDataType(spec.Type);
    item->Offset = spec.Offset;
    item->Count = spec.Count;
    item->AppendCnt = spec.Count > 1;
    item->ZeroBaseCnt = false;
    item->Swapped = spec.Swapped;
    item->LE = spec.LE;
    item->Unsigned = spec.Unsigned;
    item->DefaultValue = spec.Default;
    request->ResponseItems.push_back(std::move(item));
  }
  return request;
}

inline std::string Describe(const TConfig& c) {
  std::ostringstream out;
  out << "seed " << c.Seed << ", " << enginetest::Name(c.Protocol) << ", keep session " << c.Speed.KeepSession
      << ", send when ready " << c.Speed.SendWhenReady << ", handshake " << c.Speed.HandshakeTimeout
      << " ms, retries " << c.Speed.Retries << ", demote after " << c.Speed.DemoteAfter << " for "
      << c.Speed.DemoteFor << " ms, min interval " << c.MinInterval << " ms, "
      << (c.ByteTimeUs ? std::to_string(c.ByteTimeUs) + " us per character" : "instant line") << "\n";
  for (size_t k = 0; k < c.Stations.size(); ++k) {
    const TStationSpec& s = c.Stations[k];
    out << "  station " << k << ": ccm id " << int(s.CcmId) << ", snp id " << s.SnpId << ", lrc "
        << (s.LrcFramed ? "framed" : "data only") << ", snp data size " << s.SnpDataSize << ", status 0x"
        << std::hex << s.PlcStatus << std::dec << "\n";
  }
  for (size_t k = 0; k < c.Requests.size(); ++k) {
    const TRequestSpec& r = c.Requests[k];
    out << "  request " << k << ": station " << r.Station << " \"" << r.Address << "\" memory 0x" << std::hex
        << int(r.Memory) << std::dec << " offset " << r.Offset << " size " << r.Size << " ("
        << ReadLength(c.Protocol, r) << " bytes)"
        << (r.Poll ? ", poll " + std::to_string(r.PollMs) + " ms" : ", once") << ", timeout " << r.TimeoutMs
        << (r.Refused ? ", refused by the PLC" : "") << "\n";
    for (const TItemSpec& i : r.Items)
      out << "    " << i.Name << " " << DataTypeName(i.Type) << " offset " << i.Offset << " count " << i.Count
          << (i.LE ? " LE" : "") << (i.Swapped ? " swapped" : "") << (i.Unsigned ? " unsigned" : " signed")
          << " default " << i.Default << "\n";
  }
  return out.str();
}

// --- the reference reading of a row ----------------------------------------------------------

// One expected value: an integer, a real (compared bit for bit, NaN with NaN), a Boolean or a text.
struct TExpected {
  enum Kind { Integer, Real, Boolean, Text } Kind = Integer;
  int64_t I = 0;
  double R = 0;
  std::string T;
  bool FromData = true;
};

inline bool Matches(const TExpected& e, const TVariant& v) {
  switch (e.Kind) {
    case TExpected::Integer:
      return v.ToInt64() == e.I;
    case TExpected::Real: {
      const double d = v.ToDouble();
      if (std::isnan(e.R)) return std::isnan(d);
      return d == e.R;
    }
    case TExpected::Boolean:
      return (v.ToInt64() != 0) == (e.I != 0);
    case TExpected::Text:
      return v.ToText() == e.T;
  }
  return false;
}

inline std::string Show(const TExpected& e) {
  switch (e.Kind) {
    case TExpected::Integer:
      return std::to_string(e.I);
    case TExpected::Real: {
      std::ostringstream out;
      out.precision(17);
      out << e.R;
      return out.str();
    }
    case TExpected::Boolean:
      return e.I ? "true" : "false";
    case TExpected::Text:
      return "\"" + e.T + "\"";
  }
  return "?";
}

// A number of n bytes: the words (two bytes each, high byte first) taken first to last, or
// last to first when swapped, make a little-endian number; LE reverses the whole of it.
inline uint64_t Assemble(const std::string& d, int32_t pos, int n, bool swapped, bool le) {
  uint8_t bytes[8];
  const int words = n / 2;
  for (int w = 0; w < words; ++w) {
    const int from = swapped ? words - 1 - w : w;
    bytes[2 * w] = static_cast<uint8_t>(d[static_cast<size_t>(pos + 2 * from + 1)]);
    bytes[2 * w + 1] = static_cast<uint8_t>(d[static_cast<size_t>(pos + 2 * from)]);
  }
  if (le) std::reverse(bytes, bytes + n);
  uint64_t value = 0;
  for (int k = n - 1; k >= 0; --k) value = value << 8 | bytes[k];
  return value;
}

inline TExpected FromData(const TItemSpec& item, const std::string& d, int32_t pos, int32_t k) {
  TExpected e;
  switch (item.Type) {
    case dtD8: {
      const uint8_t b = static_cast<uint8_t>(d[static_cast<size_t>(pos)]);
      e.I = item.Unsigned ? b : static_cast<int8_t>(b);
      break;
    }
    case dtD16: {
      const auto v = static_cast<uint16_t>(Assemble(d, pos, 2, false, item.LE));
      e.I = item.Unsigned ? v : static_cast<int16_t>(v);
      break;
    }
    case dtD32: {
      const auto v = static_cast<uint32_t>(Assemble(d, pos, 4, item.Swapped, item.LE));
      e.I = item.Unsigned ? int64_t{v} : int64_t{static_cast<int32_t>(v)};
      break;
    }
    case dtD64:
      e.I = static_cast<int64_t>(Assemble(d, pos, 8, item.Swapped, item.LE));
      break;
    case dtF32: {
      const auto bits = static_cast<uint32_t>(Assemble(d, pos, 4, item.Swapped, item.LE));
      float f;
      std::memcpy(&f, &bits, 4);
      e.Kind = TExpected::Real;
      e.R = f;
      break;
    }
    case dtF64: {
      const uint64_t bits = Assemble(d, pos, 8, item.Swapped, item.LE);
      std::memcpy(&e.R, &bits, 8);
      e.Kind = TExpected::Real;
      break;
    }
    case dtBIT: {
      const int b = k % 8;
      const auto byte = static_cast<uint8_t>(d[static_cast<size_t>(pos)]);
      e.Kind = TExpected::Boolean;
      e.I = (byte >> (item.LE ? 7 - b : b)) & 1;
      break;
    }
    default:
      break;
  }
  return e;
}

inline TExpected FromDefault(const TItemSpec& item) {
  TExpected e;
  e.FromData = false;
  switch (item.Type) {
    case dtBIT:
      e.Kind = TExpected::Boolean;
      e.I = item.Default == "1";
      break;
    case dtS:
      e.Kind = TExpected::Text;
      e.T = item.Default;
      break;
    case dtF32:
    case dtF64:
      e.Kind = TExpected::Real;
      e.R = std::stod(item.Default);
      break;
    default:
      e.I = std::stoll(item.Default);
      break;
  }
  return e;
}

// The values a row must hold when the PLC's answer brought the data bytes `d` (exactly the bytes
// the read asked for): by item name, in order.
inline std::vector<std::pair<std::string, TExpected>> ExpectedValues(const TRequestSpec& r,
                                                                     const std::string& d) {
  std::vector<std::pair<std::string, TExpected>> out;
  const int32_t length = static_cast<int32_t>(d.size());
  int32_t p = 0;
  for (const TItemSpec& item : r.Items) {
    int32_t pos = item.Offset == -1 ? p : item.Offset;
    int32_t size = item.Type == dtBIT ? 0 : item.Type == dtS ? 255 : DataTypeByteSize(item.Type);
    for (int32_t k = 0; k < item.Count; ++k) {
      const std::string name = item.Count > 1 ? item.Name + std::to_string(k + 1) : item.Name;
      // A bit needs the byte that holds it; a text never fits here (it needs 255 bytes).
      const bool fits = pos >= 0 && pos + size <= length && (item.Type != dtBIT || pos < length);
      if (fits && item.Type != dtS) {
        out.emplace_back(name, FromData(item, d, pos, k));
        if (item.Type == dtBIT) size = k % 8 == 7 ? 1 : 0;
      } else {
        out.emplace_back(name, FromDefault(item));
      }
      pos += size;
    }
    p = pos;
  }
  return out;
}

}  // namespace kelda::invariant
