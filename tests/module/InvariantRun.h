// One seed of the engine's invariant test: the engine, the faulty line and the simulated PLCs on
// the driven clock, and the checks after every data call.
#pragma once

#include <cstdio>

#include "InvariantLine.h"

namespace kelda::invariant {

namespace detail {

inline std::string HexShort(const std::string& bytes, size_t most = 40) {
  std::string out = enginetest::Hex(bytes.substr(0, most));
  if (bytes.size() > most) out += " ..(" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

inline bool IsCcm(uint8_t protocol) {
  return protocol <= protoCcmPeerToPeer;
}

}  // namespace detail

// --- setup ------------------------------------------------------------------------------------

inline void TInvariantRun::BuildPlcs() {
  for (const TStationSpec& s : C.Stations) {
    auto plc = std::make_unique<sim::Simulator>(static_cast<sim::Mode>(C.Protocol), s.SnpId, s.CcmId);
    plc->setCcmLrcIncludesFraming(s.LrcFramed);
    plc->setSnpDataSize(s.SnpDataSize);
    plc->setPlcStatusWord(s.PlcStatus);
    Plcs.push_back(std::move(plc));
  }
  SeenEvents.assign(Plcs.size(), 0);
  // Random memory wherever a request reads, and a little around it.
  for (const TRequestSpec& r : C.Requests) {
    sim::Simulator& plc = *Plcs[static_cast<size_t>(r.Station)];
    if (detail::IsCcm(C.Protocol)) {
      switch (CcmMemoryType(r.Memory)) {
        case 1:
          for (int32_t w = r.Offset - 1; w < r.Offset + r.Size / 2 + 8 && w < 32640; ++w)
            if (w >= 0) plc.setWord(0x08, static_cast<uint32_t>(w), static_cast<uint16_t>(Rnd()));
          break;
        case 2:
        case 3:
          for (int32_t b = (r.Offset - 1) / 8 * 8; b < (r.Offset - 1) / 8 * 8 + (r.Size + 2) * 8 && b < 2048;
               ++b)
            plc.setBit(CcmMemoryType(r.Memory) == 2 ? 0x46 : 0x48, static_cast<uint32_t>(b), Rnd() & 1);
          break;
        case 6:
          for (int32_t b = r.Offset; b < r.Offset + r.Size; ++b)
            plc.setScratchPad(static_cast<uint32_t>(b), static_cast<uint8_t>(Rnd()));
          break;
        default:
          for (uint32_t w = 1; w <= 20; ++w) plc.setStatusWord(w, static_cast<uint16_t>(Rnd()));
          break;
      }
      continue;
    }
    const TSelector* s = FindSelector(r.Memory);
    if (!s) continue;
    const uint32_t from = static_cast<uint32_t>(std::max(0, r.Offset - 16));
    const uint32_t to = std::min<uint32_t>(s->Elements, static_cast<uint32_t>(r.Offset + r.Size + 16));
    for (uint32_t e = from; e < to; ++e) {
      if (s->Bits)
        plc.setBit(s->Code, e, Rnd() & 1);
      else
        plc.setWord(s->Code, e, static_cast<uint16_t>(Rnd()));
    }
  }
}

inline void TInvariantRun::LoadQueue() {
  TSerialPortDM& engine = Rig.Engine;
  engine.StopQueueTimer();
  {
    platform::WriteGuard guard(*engine.RequestList);
    engine.ClearLastRequest();
    engine.RequestList->Clear();
    engine.SetMinInterval(C.MinInterval);
    engine.SetProtocol(C.Protocol);
    engine.SetSpeed(C.Speed);
    for (size_t k = 0; k < C.Requests.size(); ++k) engine.RequestList->Add(BuildRequest(C, k).release());
  }
  engine.QueueLoaded();
  engine.Restart();
  MostHandshakeMs = std::max(MostHandshakeMs, C.Speed.HandshakeTimeout);
  MostDemoteForMs = std::max(MostDemoteForMs, C.Speed.DemoteFor);
  for (size_t k = 0; k < C.Requests.size(); ++k)
    if (!C.Requests[k].Poll) Owed[k] = true;
}

inline std::string TInvariantRun::LogKey(const TRequestSpec& r) const {
  if (detail::IsCcm(C.Protocol))
    return "ccm read type " + std::to_string(CcmMemoryType(r.Memory)) + " address " +
           std::to_string(r.Offset) + " bytes " + std::to_string(r.Size) + " for ";
  return std::string(C.Protocol == protoSnpX ? "x-read " : "read ") + sim::PlcMemory::SelectorName(r.Memory) +
         " " + std::to_string(r.Offset) + " len " + std::to_string(r.Size);
}

inline void TInvariantRun::BuildGroups() {
  for (const TRequestSpec& r : C.Requests) {
    const std::string key = LogKey(r);
    size_t g = 0;
    while (g < Groups.size() && !(Groups[g].Station == r.Station && Groups[g].Key == key)) ++g;
    if (g == Groups.size()) Groups.push_back(TGroup{r.Station, key, {}, 0});
    GroupOf.push_back(g);
  }
}

// --- the line ---------------------------------------------------------------------------------

inline void TInvariantRun::Note(int fault, const std::string& what) {
  ++F.Faults[static_cast<size_t>(fault)];
  FaultLines.push_back("t=" + std::to_string(gNow) + " " + kFaultNames[fault] + ": " + what);
  Trace("FAULT " + std::string(kFaultNames[fault]) + ": " + what);
  if (FaultLines.size() > 200) {
    FaultLines.pop_front();
    ++FaultLinesDropped;
  }
}

inline void TInvariantRun::Trace(const std::string& line) {
  TraceLines.push_back("t=" + std::to_string(gNow) + " " + line);
  if (TraceLines.size() > 160) TraceLines.pop_front();
}

// A copy of one frame, changed by one fault of the class; false when the class cannot spoil this
// frame in a way the protocol's checks can see.
inline bool TInvariantRun::Mutate(int fault, std::string& frame, bool fromPlc) {
  if (frame.empty()) return false;
  const bool ccm = detail::IsCcm(C.Protocol);
  const bool ccmBlock = ccm && fromPlc && frame[0] == 0x02;
  const bool snpFrame = !ccm && frame[0] == 0x1B && frame.size() > 6;
  auto position = [&](size_t size) { return static_cast<size_t>(Rnd() % size); };
  // An SNP frame whose binary check still holds after the change: the change is not seen.
  auto snpStillChecks = [&](const std::string& f) {
    const auto* b = reinterpret_cast<const uint8_t*>(f.data());
    return f.size() > 1 && sim::snpBcc(b, f.size() - 1) == b[f.size() - 1];
  };
  // A CCM block that, changed, still begins with a block whose LRC holds under either reading:
  // an eight-bit LRC passes one change in 256, and nothing else on the wire can tell.
  auto ccmStillChecks = [&](const std::string& f) {
    uint8_t framed = 0;
    uint8_t data = 0;
    for (size_t k = 0; k + 1 < f.size(); ++k) {
      const auto b = static_cast<uint8_t>(f[k]);
      framed ^= b;
      const auto lrc = static_cast<uint8_t>(f[k + 1]);
      if (k > 0 && (b == 0x03 || b == 0x17) && (lrc == framed || lrc == data)) return true;
      if (k > 0) data ^= b;
    }
    return false;
  };
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string changed = frame;
    switch (fault) {
      case fFlip: {
        const size_t at = position(changed.size());
        const int bit = 1 << (Rnd() % 8);
        // The one flip no check can see: the master takes a station's LRC to span STX to ETX,
        // as GE's do, until a block of it has shown otherwise. Over STX and ETX that LRC is the
        // data's own with bit 0 changed, so a data-only station's last block with bit 0 of a data
        // byte flipped is exactly what a GE station sends for that data.
        const bool lastBlock = ccmBlock && changed.size() > 3 && changed[changed.size() - 2] == '\x03';
        const bool dataByte = at > 0 && at + 2 < changed.size();
        if (lastBlock && dataByte && bit == 1 && !C.Stations[SendingPlc].LrcFramed &&
            !ReadingShown[SendingPlc])
          continue;
        changed[at] = static_cast<char>(changed[at] ^ bit);
        frame = changed;
        return true;  // one bit in one frame: every GE check sees it
      }
      case fLose: {
        const size_t at = position(changed.size());
        if (ccmBlock && changed[at] == 0) continue;  // XOR without a zero is the same XOR
        changed.erase(at, 1);
        break;
      }
      case fDouble: {
        if (ccmBlock) return false;  // a byte twice cancels itself in the LRC
        const size_t at = position(changed.size());
        changed.insert(at, 1, changed[at]);
        break;
      }
      case fNoise: {  // inside the frame
        const size_t at = 1 + position(changed.size());
        std::string noise(ccmBlock ? 1 : 1 + Rnd() % 4, '\0');
        for (char& c : noise) c = static_cast<char>(Rnd());
        if (ccmBlock && noise[0] == 0) noise[0] = '\x55';
        changed.insert(at, noise);
        break;
      }
      default:
        return false;
    }
    if (snpFrame && snpStillChecks(changed)) continue;
    if (ccmBlock && ccmStillChecks(changed)) continue;
    frame = changed;
    return true;
  }
  return false;
}

inline bool TInvariantRun::SpoilToPlc(std::string& frame) {
  if (!Faulty() || !Chance(Rnd, O.FrameRate)) return false;
  const bool isAck = frame == std::string(1, '\x06') || frame == std::string("\x06\x00", 2);
  std::vector<int> classes;
  for (int f : {fFlip, fLose, fDouble, fRepeat, fNoise})
    if (Enabled(f)) classes.push_back(f);
  if (isAck && !LastPlcData.empty() && Enabled(fAckLost)) classes.push_back(fAckLost);
  if (classes.empty()) return false;
  // A lost acknowledgement is the rarer chance (one frame kind of many): it gets half of them.
  const bool ackLost = classes.back() == fAckLost && Chance(Rnd, 0.5);
  const int fault = ackLost ? fAckLost : classes[Rnd() % classes.size()];
  if (fault == fAckLost) {
    // The PLC misses our acknowledgement and, after its own time-out, sends the frame again.
    const uint64_t delay = Pick(Rnd, 20, 600);
    Note(fault, "master's ACK lost, the PLC repeats its frame after " + std::to_string(delay) + " ms");
    SendToMaster(LastPlcData, false, delay);
    return true;  // the ACK is gone
  }
  if (fault == fRepeat) {
    Note(fault, "to the PLC twice: " + detail::HexShort(frame, 16));
    SendToPlc(frame, false);
    SendToPlc(frame, false);
    return true;
  }
  if (fault == fNoise && Chance(Rnd, 0.5)) {
    std::string noise(1 + Rnd() % 6, '\0');
    for (char& c : noise) c = static_cast<char>(Rnd());
    Note(fault, "before the master's frame: " + detail::HexShort(noise));
    SendToPlc(noise + frame, false);
    return true;
  }
  std::string changed = frame;
  if (!Mutate(fault, changed, false)) return false;
  Note(fault, "to the PLC: " + detail::HexShort(frame, 16) + " -> " + detail::HexShort(changed, 16));
  SendToPlc(changed, false);
  return true;
}

inline bool TInvariantRun::SpoilToMaster(std::string& frame, bool& split, uint64_t& delay) {
  if (!Faulty() || !Chance(Rnd, O.FrameRate)) return false;
  std::vector<int> classes;
  for (int f : {fFlip, fLose, fDouble, fRepeat, fNoise, fSplit, fLate})
    if (Enabled(f)) classes.push_back(f);
  if (classes.empty()) return false;
  const int fault = classes[Rnd() % classes.size()];
  switch (fault) {
    case fRepeat:
      Note(fault, "to the master twice: " + detail::HexShort(frame, 16));
      SendToMaster(frame, false);
      return false;  // and the frame itself after it
    case fSplit:
      split = true;
      Note(fault, "answer in pieces: " + detail::HexShort(frame, 16));
      return false;
    case fLate: {
      int32_t longest = 0;
      for (const TRequestSpec& r : C.Requests) longest = std::max(longest, r.TimeoutMs);
      delay = static_cast<uint64_t>(std::max(longest, MostHandshakeMs)) + Pick(Rnd, 1, 400);
      Note(fault, "answer late by " + std::to_string(delay) + " ms: " + detail::HexShort(frame, 16));
      return false;
    }
    case fNoise:
      if (Chance(Rnd, 0.5)) {
        std::string noise(1 + Rnd() % 8, '\0');
        for (char& c : noise) c = static_cast<char>(Rnd());
        Note(fault, "before the PLC's frame: " + detail::HexShort(noise));
        frame = noise + frame;
        return false;
      }
      [[fallthrough]];
    default: {
      std::string changed = frame;
      if (!Mutate(fault, changed, true)) return false;
      Note(fault, "to the master: " + detail::HexShort(frame, 16) + " -> " + detail::HexShort(changed, 16));
      frame = changed;
      return false;
    }
  }
}

inline void TInvariantRun::SendToPlc(std::string bytes, bool isBreak, uint64_t delay) {
  const uint64_t start = std::max(gNow + delay, LineFree[0]);
  const uint64_t at = start + (isBreak ? TSerialPortDM::kBreakMs : WireMs(bytes.size()));
  LineFree[0] = at;
  Line.push_back(TPending{at, Order++, true, isBreak, std::move(bytes)});
}

// Bytes to the master arrive as the line carries them: at its rate, a millisecond's worth per
// data call, or all at once on a line that takes no time.
inline void TInvariantRun::SendToMaster(std::string bytes, bool split, uint64_t delay) {
  const uint64_t start = std::max(gNow + delay, LineFree[1]);
  std::vector<size_t> cuts;
  if (split) {
    if (Chance(Rnd, 0.3)) {
      for (size_t k = 1; k < bytes.size(); ++k) cuts.push_back(k);
    } else if (bytes.size() > 1) {
      cuts.push_back(1 + Rnd() % (bytes.size() - 1));
    }
  }
  if (C.ByteTimeUs > 0) {
    const size_t perMs = std::max<size_t>(1, 1000 / C.ByteTimeUs);
    for (size_t k = perMs; k < bytes.size(); k += perMs) cuts.push_back(k);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  cuts.push_back(bytes.size());
  size_t from = 0;
  uint64_t at = start;
  for (size_t cut : cuts) {
    if (cut <= from) continue;
    at = start + WireMs(cut);
    Line.push_back(TPending{at, Order++, false, false, bytes.substr(from, cut - from)});
    from = cut;
  }
  LineFree[1] = at;
}

inline void TInvariantRun::FromEngine() {
  for (std::string& frame : Rig.Owner.TakeSent()) {
    if (frame == kBreakCommand) {
      Trace("M> break");
      SendToPlc(std::string(), true);
      continue;
    }
    Trace("M> " + detail::HexShort(frame));
    if (!SpoilToPlc(frame)) SendToPlc(frame, false);
  }
}

inline void TInvariantRun::FromPlcs() {
  for (size_t k = 0; k < Plcs.size(); ++k) {
    for (const std::vector<uint8_t>& chunk : Plcs[k]->takeOutput(gNow)) {
      std::string frame(chunk.begin(), chunk.end());
      if (frame.empty()) continue;
      const bool data = detail::IsCcm(C.Protocol)
                            ? frame[0] == 0x02
                            : frame.size() > 2 && frame[0] == 0x1B && (frame[1] == 'M' || frame[1] == 'T');
      if (data) LastPlcData = frame;
      SendingPlc = k;
      Trace("P" + std::to_string(k) + "> " + detail::HexShort(frame));
      bool split = false;
      uint64_t delay = 0;
      SpoilToMaster(frame, split, delay);
      SendToMaster(frame, split, delay);
    }
  }
}

inline void TInvariantRun::DeliverToPlc(const TPending& p) {
  for (size_t k = 0; k < Plcs.size(); ++k) {
    if (p.Break)
      Plcs[k]->lineBreak(gNow);
    else
      Plcs[k]->receive(reinterpret_cast<const uint8_t*>(p.Bytes.data()), p.Bytes.size(), gNow);
    NoteServedReads(k);
  }
  FromPlcs();
}

inline void TInvariantRun::DeliverToEngine(const std::string& bytes) {
  Rig.Receive(bytes);
  CheckRows();
  const int32_t most = 2100;  // the longest read (2000 bytes) and the frame around it
  if (static_cast<int32_t>(Rig.Engine.ResponseData.size()) > most) {
    ++F.Unbounded;
    Fail("unbounded", "collected data grew to " + std::to_string(Rig.Engine.ResponseData.size()) + " bytes");
  }
  Rig.Owner.Failures.clear();
  FromEngine();
}

inline void TInvariantRun::DeliverDue() {
  for (int guard = 0; guard < 1000000; ++guard) {
    auto due = Line.end();
    for (auto it = Line.begin(); it != Line.end(); ++it)
      if (it->At <= gNow &&
          (due == Line.end() || it->At < due->At || (it->At == due->At && it->Order < due->Order)))
        due = it;
    if (due == Line.end()) return;
    TPending p = std::move(*due);
    Line.erase(due);
    if (p.ToPlc)
      DeliverToPlc(p);
    else
      DeliverToEngine(p.Bytes);
  }
}

inline void TInvariantRun::InjectEvent() {
  std::vector<int> classes;
  for (int f : {fSilent, fPlcError, fPortOpen, fReload})
    if (Enabled(f)) classes.push_back(f);
  if (classes.empty()) return;
  const int fault = classes[Rnd() % classes.size()];
  const size_t station = Rnd() % Plcs.size();
  switch (fault) {
    case fSilent: {
      const int count = static_cast<int>(Pick(Rnd, 1, 3));
      Plcs[station]->faults().silent = count;
      Note(fault, "PLC " + std::to_string(station) + " answers none of its next " + std::to_string(count) +
                      " requests");
      return;
    }
    case fPlcError:
      if (C.Protocol == protoSnp && Chance(Rnd, 0.5)) {
        // A refusal that passes: GE's "service request queue full", after which the master tries
        // again. Refusals of the read itself (an address the PLC lacks) are final and are the
        // configuration's fault, not the line's.
        Plcs[station]->faults().errorNack = 1;
        Plcs[station]->faults().errorNackMajor = 0x07;
        Plcs[station]->faults().errorNackMinor = 0x00;
        Note(fault,
             "PLC " + std::to_string(station) + " refuses its next read with an error nack (queue full)");
      } else {
        Plcs[station]->faults().nak = 1;
        Note(fault, "PLC " + std::to_string(station) + " refuses its next request");
      }
      return;
    case fPortOpen:
      Note(fault, "port opened anew");
      Rig.Engine.RequestReset(2);
      for (size_t k = 0; k < C.Requests.size(); ++k)
        if (!C.Requests[k].Poll) Owed[k] = true;
      return;
    default: {
      TSpeedSettings speed = MakeConfig(static_cast<uint32_t>(Rnd()), C.Protocol).Speed;
      FitHandshakeToLine(speed, C.Protocol, C.ByteTimeUs);
      C.Speed = speed;
      if (Chance(Rnd, 0.5)) {
        Note(fault, "speed settings reloaded: keep session " + std::to_string(speed.KeepSession) +
                        ", send when ready " + std::to_string(speed.SendWhenReady));
        Rig.Engine.SetSpeed(speed);
        MostDemoteForMs = std::max(MostDemoteForMs, speed.DemoteFor);
        return;
      }
      Note(fault, "queue reloaded, keep session " + std::to_string(speed.KeepSession) + ", send when ready " +
                      std::to_string(speed.SendWhenReady) + ", handshake " +
                      std::to_string(speed.HandshakeTimeout));
      LoadQueue();
      return;
    }
  }
}

inline void TInvariantRun::StopFaults() {
  FaultsOver = true;
  for (auto& plc : Plcs) plc->setFaults(sim::Faults{});
  // The faults are over once the last frame they spoiled or delayed has left the line.
  FaultsStopped = std::max({gNow, LineFree[0], LineFree[1]});
  for (uint64_t& at : LastRow) at = FaultsStopped;
  Trace("faults stop; the line is clear at t=" + std::to_string(FaultsStopped));
}

// --- what the PLC served ----------------------------------------------------------------------

// The PLC's log names every read it accepted: the data it held then is what a row of that read
// may hold. Its memory then changes where the read starts, so that each answer differs from the
// one before.
inline void TInvariantRun::NoteServedReads(size_t station) {
  sim::Simulator& plc = *Plcs[station];
  const uint64_t events = plc.eventCount();
  const uint64_t fresh = std::min<uint64_t>(events - SeenEvents[station], plc.log().size());
  SeenEvents[station] = events;
  const auto& log = plc.log();
  for (size_t i = log.size() - static_cast<size_t>(fresh); i < log.size(); ++i) {
    for (size_t k = 0; k < C.Requests.size(); ++k) {
      const TRequestSpec& r = C.Requests[k];
      TGroup& g = Groups[GroupOf[k]];
      if (g.Station != static_cast<int>(station) || log[i].rfind(g.Key, 0) != 0) continue;
      if (!detail::IsCcm(C.Protocol) && log[i] != g.Key) continue;
      std::vector<uint8_t> data;
      try {
        data = detail::IsCcm(C.Protocol)
                   ? plc.ccmReadBytes(CcmMemoryType(r.Memory), static_cast<uint32_t>(r.Offset),
                                      static_cast<uint32_t>(r.Size))
                   : plc.readBytes(r.Memory, static_cast<uint32_t>(r.Offset), static_cast<uint32_t>(r.Size));
      } catch (const std::exception&) {
        break;  // the PLC refuses this read
      }
      g.Snapshots.push_back(TSnapshot{std::string(data.begin(), data.end())});
      Stamp(r, plc);
      break;
    }
  }
}

inline void TInvariantRun::Stamp(const TRequestSpec& r, sim::Simulator& plc) {
  auto bump = [&](uint8_t selector, uint32_t first, uint32_t bits) {
    uint32_t value = 0;
    for (uint32_t b = 0; b < bits; ++b) value |= uint32_t{plc.bit(selector, first + b)} << b;
    ++value;
    for (uint32_t b = 0; b < bits; ++b) plc.setBit(selector, first + b, (value >> b) & 1);
  };
  if (detail::IsCcm(C.Protocol)) {
    const auto offset = static_cast<uint32_t>(r.Offset);
    switch (CcmMemoryType(r.Memory)) {
      case 1:
        plc.setWord(0x08, offset - 1, static_cast<uint16_t>(plc.word(0x08, offset - 1) + 1));
        return;
      case 2:
      case 3:
        bump(CcmMemoryType(r.Memory) == 2 ? 0x46 : 0x48, (offset - 1) / 8 * 8, 8);
        return;
      case 6:
        plc.setScratchPad(offset, static_cast<uint8_t>(plc.ccmReadBytes(6, offset, 1)[0] + 1));
        return;
      default: {
        const std::vector<uint8_t> w = plc.ccmReadBytes(9, offset, 2);
        plc.setStatusWord(offset, static_cast<uint16_t>((w[0] | w[1] << 8) + 1));
        return;
      }
    }
  }
  const TSelector* s = FindSelector(r.Memory);
  if (!s) return;
  const auto offset = static_cast<uint32_t>(r.Offset);
  if (s->Bits)
    bump(s->Code, offset, std::min<uint32_t>(8, static_cast<uint32_t>(r.Size)));
  else
    plc.setWord(s->Code, offset, static_cast<uint16_t>(plc.word(s->Code, offset) + 1));
}

// --- checks -----------------------------------------------------------------------------------

inline void TInvariantRun::Fail(const std::string& kind, const std::string& what) {
  Trace("FAILURE " + kind + ": " + what);
  // The wire up to the first failure tells most; the trace's end may be long after it.
  if (Failures.empty()) FirstFailureTrace = TraceLines;
  Failures.push_back(TFailure{kind, "t=" + std::to_string(gNow) + " " + kind + ": " + what});
}

inline bool TInvariantRun::RowMatches(const enginetest::TDelivered& row, const TRequestSpec& r,
                                      const std::string& data) {
  for (const auto& [name, expected] : ExpectedValues(r, data)) {
    auto it = row.Values.find(name);
    if (it == row.Values.end() || !Matches(expected, it->second)) return false;
  }
  return true;
}

inline void TInvariantRun::CheckRows() {
  for (const enginetest::TDelivered& row : Rig.Owner.Delivered) CheckRow(row);
  Rig.Owner.Delivered.clear();
}

inline void TInvariantRun::CheckRow(const enginetest::TDelivered& row) {
  ++F.Rows;
  // The request: its items' names begin with "r<index>i".
  int index = -1;
  for (const std::string& name : row.Names) {
    if (name.size() > 2 && name[0] == 'r' && std::isdigit(static_cast<unsigned char>(name[1]))) {
      index = std::atoi(name.c_str() + 1);
      break;
    }
  }
  const bool snpX = C.Protocol == protoSnpX;
  if (index < 0 || index >= static_cast<int>(C.Requests.size())) {
    // Only an SNP-X error answer gives a row without values: its status code names the error.
    if (snpX && row.Values.count("STATUS_CODE") && row.Int("STATUS_CODE") != 0) {
      ++F.ErrorRows;
      Trace("error row " + std::to_string(row.Int("STATUS_CODE")) + " for " + row.Text("TARGET_ADDRESS") +
            " memory address " + std::to_string(row.Int("MEMORY_ADDRESS")));
      if (FaultsOver && gNow > FaultsStopped) {
        bool refused = false;
        for (const TRequestSpec& r : C.Requests)
          refused |=
              r.Refused && r.Address == row.Text("TARGET_ADDRESS") && r.Offset == row.Int("MEMORY_ADDRESS");
        if (!refused)
          Fail("error row after the faults stopped",
               "status code " + std::to_string(row.Int("STATUS_CODE")) + ") for a readable request of " +
                   row.Text("TARGET_ADDRESS") + " after the faults stopped");
      }
      return;
    }
    ++F.WrongValues;
    Fail("wrong value", "a row without any value of a request");
    return;
  }
  const auto k = static_cast<size_t>(index);
  const TRequestSpec& r = C.Requests[k];
  Trace("row of request " + std::to_string(k));
  if (FaultsOver && gNow > LastRow[k]) {
    F.LongestStallMs = std::max(F.LongestStallMs, gNow - LastRow[k]);
    LastRow[k] = gNow;
  }
  Owed[k] = false;
  std::string fixed;
  if (row.Text("TARGET_ADDRESS") != r.Address) fixed = "TARGET_ADDRESS " + row.Text("TARGET_ADDRESS");
  if (row.Int("MEMORY_ADDRESS") != r.Offset)
    fixed = "MEMORY_ADDRESS " + std::to_string(row.Int("MEMORY_ADDRESS"));
  if (snpX && (!row.Values.count("STATUS_CODE") || row.Int("STATUS_CODE") != 0 ||
               row.Int("PLC_STATUS") != C.Stations[static_cast<size_t>(r.Station)].PlcStatus))
    fixed = "PLC_STATUS/STATUS_CODE of another answer";
  TGroup& g = Groups[GroupOf[k]];
  F.ValuesChecked += row.Names.size();
  if (fixed.empty() && !r.Refused) {
    for (size_t j = g.Cursor; j < g.Snapshots.size(); ++j) {
      if (RowMatches(row, r, g.Snapshots[j].Data)) {
        g.Cursor = j + 1;
        ReadingShown[static_cast<size_t>(r.Station)] = true;
        return;
      }
    }
    for (size_t j = 0; j < g.Cursor; ++j) {
      if (RowMatches(row, r, g.Snapshots[j].Data)) {
        ++F.RowsTwice;
        Fail("row twice", "request " + std::to_string(k) + ": a row again for answer " + std::to_string(j) +
                              " of " + std::to_string(g.Snapshots.size()) + " (the next unmatched is " +
                              std::to_string(g.Cursor) + ")");
        return;
      }
    }
  }
  ++F.WrongValues;
  // Name the first value that differs from the PLC's latest answer to this read, and what the
  // wrong row looks like: a value past a short SNP read, a spoiled block, a block taken twice.
  std::string what = fixed;
  std::string kind = "wrong value";
  if (what.empty() && !g.Snapshots.empty()) {
    const std::string& data = g.Snapshots.back().Data;
    for (const auto& [name, expected] : ExpectedValues(r, data)) {
      auto it = row.Values.find(name);
      if (it == row.Values.end()) {
        what = name + " missing";
        break;
      }
      if (!Matches(expected, it->second)) {
        what = name + " = " + it->second.ToText() + ", the PLC's latest answer held " + Show(expected);
        if (C.Protocol == protoSnp && data.size() <= 6 && !expected.FromData)
          kind = "wrong value past a short SNP read";
        break;
      }
    }
    for (size_t j = g.Cursor; j < g.Snapshots.size() && kind == "wrong value"; ++j) {
      const std::string& d = g.Snapshots[j].Data;
      for (size_t bit = 0; bit < d.size() * 8 && d.size() <= 512; ++bit) {
        std::string spoiled = d;
        spoiled[bit / 8] = static_cast<char>(spoiled[bit / 8] ^ (1 << (bit % 8)));
        if (RowMatches(row, r, spoiled)) {
          kind = "wrong value: one bit of the answer flipped";
          break;
        }
      }
      for (size_t block = 256; block + 1 < d.size() && detail::IsCcm(C.Protocol); block += 256) {
        std::string twice =
            d.substr(0, block) + d.substr(block - 256, 256) + d.substr(std::min(d.size(), block + 256));
        twice.resize(d.size());
        if (RowMatches(row, r, twice)) {
          kind = "wrong value: a block taken twice";
          break;
        }
      }
    }
  }
  if (r.Refused) what = "a row for a read the PLC refuses";
  Fail(kind, "request " + std::to_string(k) + ": " + what + " (answers served " +
                 std::to_string(g.Snapshots.size()) + ", matched " + std::to_string(g.Cursor) + ")");
}

// The fault-free time of one exchange of `r`: its frames on the wire at the line's rate, GE's gaps
// kept with the speed settings on (break and T4 before an attach, T1 before each SNP frame of
// ours, the quiet line a CCM peer without EOT is given), the ticks of the scheduler that start it
// and take its answer, and the minimal interval after it.
inline size_t TInvariantRun::ExchangeBytes(const TRequestSpec& r) const {
  const auto n = static_cast<size_t>(ReadLength(C.Protocol, r));
  const TStationSpec& s = C.Stations[static_cast<size_t>(r.Station)];
  if (detail::IsCcm(C.Protocol)) {
    const size_t blocks = (n + 255) / 256;
    return 3 + 3 + 17 + 1 + n + 3 * blocks + blocks + 2;
  }
  if (C.Protocol == protoSnp)
    return 48 + 84 + 10 * (n <= 6 ? 0 : (n + s.SnpDataSize - 1) / s.SnpDataSize) + n;
  return 48 + 39 + n;
}

inline uint64_t TInvariantRun::ExchangeMs(const TRequestSpec& r) const {
  const auto n = static_cast<size_t>(ReadLength(C.Protocol, r));
  const TStationSpec& s = C.Stations[static_cast<size_t>(r.Station)];
  const size_t bytes = ExchangeBytes(r);
  size_t frames = 4;
  if (detail::IsCcm(C.Protocol)) frames = 6 + 2 * ((n + 255) / 256);
  if (C.Protocol == protoSnp) frames = 6 + 2 * (n <= 6 ? 0 : (n + s.SnpDataSize - 1) / s.SnpDataSize);
  // SNP-X with a speed setting on: the quiet line before a request, as long as the request is
  // longer than the last answer and three characters more (a repeated request's second answer).
  const uint64_t quiet = C.Protocol == protoSnpX ? WireMs(24 + 3) : 0;
  return 2 * TSerialPortDM::kTickMs + TSerialPortDM::kBreakMs + TSerialPortDM::kT4Ms +
         TSerialPortDM::kCcmPeerEotWaitMs + 10 * frames + WireMs(bytes) + quiet +
         static_cast<uint64_t>(C.MinInterval);
}

// How long after the faults stopped request `index` may go without a row:
//   its poll interval (at least a tick), and
//   two handshake time-outs (an exchange the faults broke in its handshake; a CCM slave's EOT
//   waited for), and one more with the PLC's 500 ms inter-character time-out (a PLC that holds the
//   start of a frame the noise began drops the master's next frame with it), and
//   the longest data time-out (an exchange the faults broke while its data was awaited), and
//   one fault-free exchange of every request on the line (each may be due first; a read the PLC
//   refuses once more for each of its retries), and
//   with demotion on, the demotion time and the trial after it (a PLC the faults got demoted), and
//   for a "once" read, the rest after its last failure: it rests "Demote for", then twice as long
//   after each further failure, so the rests before the last add up to less than the faulty time
//   and the last is at most that time and one "Demote for" more.
inline uint64_t TInvariantRun::Bound(size_t index) const {
  const TRequestSpec& r = C.Requests[index];
  uint64_t bound = r.Poll ? std::max<uint64_t>(EffectiveMs(r.PollMs), TSerialPortDM::kTickMs) : 0;
  const uint64_t h = static_cast<uint64_t>(std::max(MostHandshakeMs, C.Speed.HandshakeTimeout));
  bound += 3 * h + 500;
  int32_t longest = 0;
  for (const TRequestSpec& s : C.Requests) longest = std::max(longest, s.TimeoutMs);
  bound += static_cast<uint64_t>(longest);
  for (const TRequestSpec& s : C.Requests)
    bound += ExchangeMs(s) * (s.Refused ? static_cast<uint64_t>(1 + C.Speed.Retries) : 1);
  if (C.Speed.DemoteAfter > 0) bound += static_cast<uint64_t>(C.Speed.DemoteFor) + h;
  const uint64_t faulty = FaultsOver ? FaultsStopped - (FaultEnd - O.FaultMs) : O.FaultMs;
  if (!r.Poll) bound += faulty + static_cast<uint64_t>(MostDemoteForMs);
  return bound;
}

inline void TInvariantRun::CheckStalls() {
  if (!FaultsOver || gNow <= FaultsStopped) return;
  for (size_t k = 0; k < C.Requests.size(); ++k) {
    const TRequestSpec& r = C.Requests[k];
    if (r.Refused || StuckSeen[k]) continue;
    if (!r.Poll && !Owed[k]) continue;
    const uint64_t since = r.Poll ? LastRow[k] : FaultsStopped;
    if (gNow - since <= Bound(k)) continue;
    StuckSeen[k] = true;
    ++F.Stuck;
    std::string kind = "stuck line";
    // The read's frames after the attach: request, acknowledgements and answer.
    const uint64_t wire = WireMs(ExchangeBytes(r) - (detail::IsCcm(C.Protocol) ? 0 : 48));
    bool framed = false, dataOnly = false;
    for (const TStationSpec& s : C.Stations) (s.LrcFramed ? framed : dataOnly) = true;
    if (wire > static_cast<uint64_t>(r.TimeoutMs))
      kind += ": its answer is longer on the wire than its time-out";
    else if (C.Protocol == protoCcmMasterSlave && framed && dataOnly)
      kind += ": CCM stations with both LRC readings";
    Fail(kind, "request " + std::to_string(k) + " has had no row for " + std::to_string(gNow - since) +
                   " ms since " + (since == FaultsStopped ? "the faults stopped" : "its last row") +
                   " (bound " + std::to_string(Bound(k)) + " ms, answer " + std::to_string(wire) +
                   " ms on the wire)");
  }
}

inline std::string TInvariantRun::Report() const {
  std::ostringstream out;
  out << "configuration: " << Describe(C);
  out << "fault schedule (the last " << FaultLines.size() << " of " << FaultLines.size() + FaultLinesDropped
      << "):\n";
  for (const std::string& line : FaultLines) out << "  " << line << "\n";
  out << "faults stopped at t=" << FaultsStopped << "\nwire trace up to the first failure ("
      << FirstFailureTrace.size() << " events):\n";
  for (const std::string& line : FirstFailureTrace) out << "  " << line << "\n";
  return out.str();
}

// --- the run ----------------------------------------------------------------------------------

inline TSeedResult TInvariantRun::Go() {
  Owed.assign(C.Requests.size(), false);
  LastRow.assign(C.Requests.size(), 0);
  StuckSeen.assign(C.Requests.size(), false);
  ReadingShown.assign(C.Stations.size(), false);
  BuildPlcs();
  BuildGroups();
  LoadQueue();
  const uint64_t start = gNow;
  FaultEnd = start + O.FaultMs;
  uint64_t longestBound = 0;
  for (size_t k = 0; k < C.Requests.size(); ++k) longestBound = std::max(longestBound, Bound(k));
  const auto eventGap = [&] {
    return static_cast<uint64_t>(std::exponential_distribution<double>(O.EventsPerSecond / 1000.0)(Rnd)) + 1;
  };
  uint64_t nextEvent = start + eventGap();
  uint64_t nextTick = start;
  uint64_t end = 0;
  int ticksThisMs = 0;
  int spins = 0;
  uint64_t lastTickAt = 0;
  while (Failures.size() < 50) {
    DeliverDue();
    if (Faulty() && gNow >= nextEvent) {
      InjectEvent();
      nextEvent = gNow + eventGap();
    }
    if (!FaultsOver && gNow >= FaultEnd) {
      StopFaults();
      // Long enough to see every request's bound pass twice after the line is clear.
      end = FaultsStopped + 2 * longestBound + 2000;
    }
    if (FaultsOver && gNow >= end) break;
    if (gNow >= nextTick) {
      ticksThisMs = lastTickAt == gNow ? ticksThisMs + 1 : 0;
      lastTickAt = gNow;
      Trace("tick");
      Rig.Tick();
      FromEngine();
      const uint32_t wait = Rig.Engine.NextTickMs();
      nextTick = gNow + (wait == 0 && ticksThisMs < 3 ? 0 : std::max<uint32_t>(wait, 1));
    } else {
      nextTick = std::min<uint64_t>(nextTick, gNow + std::max<uint32_t>(Rig.Engine.NextTickMs(), 1));
    }
    CheckStalls();
    uint64_t next = std::min<uint64_t>(nextTick, gNow + 50);
    for (const TPending& p : Line) next = std::min(next, p.At);
    if (Faulty()) next = std::min({next, nextEvent, FaultEnd});
    if (!FaultsOver) next = std::min(next, FaultEnd);
    // Something is due now (an answer of a line that takes no time, a tick asked for at once):
    // the same millisecond again, but never for ever.
    if (next <= gNow && ++spins < 10000) continue;
    gNow = std::max(next, gNow + 1);
    spins = 0;
  }
  // The longest time any request went without a row once the line was clear.
  for (size_t k = 0; k < C.Requests.size(); ++k) {
    if (C.Requests[k].Refused || !C.Requests[k].Poll) continue;
    F.LongestStallMs = std::max(F.LongestStallMs, gNow - LastRow[k]);
  }
  F.Seeds = 1;
  F.Exchanges = Rig.Engine.Statistics().Requests;
  TSeedResult result;
  if (!Failures.empty()) {
    F.FailedSeeds = 1;
    result.Report = Report();
  }
  result.Figures = F;
  result.Failures = Failures;
  return result;
}

}  // namespace kelda::invariant
