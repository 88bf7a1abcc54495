// The faulty line of the engine's invariant test: every frame between the engine and the
// simulated PLCs passes it, in both directions, and it spoils, repeats, delays or splits them on a
// random schedule; besides, at random moments, PLCs fall silent or answer with errors, the port
// is opened anew and the settings are reloaded. Then the faults stop and the line must recover.
//
// Fault classes that no GE check can see are never injected: two bit errors in one frame (they
// may cancel in an LRC column), a doubled byte or an inserted 0x00 inside a CCM block (an LRC is
// an exclusive-or: both leave it as it was), a lost 0x00 inside a CCM block (likewise), and any
// lost, doubled or inserted byte that leaves an SNP frame's BCC right or a CCM block's LRC right
// (an eight-bit check passes one such change in 256). One bit flipped in one
// frame is always seen by GE's checks (BCC and LRC), so under it no value may ever be wrong.
#pragma once

#include <algorithm>
#include <array>
#include <deque>
#include <memory>
#include <random>
#include <sstream>

#include "InvariantConfig.h"
#include "tools/plcsim/Checks.h"
#include "tools/plcsim/PlcMemory.h"
#include "tools/plcsim/PlcSim.h"

namespace kelda::invariant {

namespace sim = kelda::plcsim;
using enginetest::gNow;

enum TFault : int {
  fFlip,      // one bit of one frame, either way, control bytes too
  fLose,      // one byte of a frame lost
  fDouble,    // one byte of a frame doubled
  fRepeat,    // a whole frame sent twice
  fAckLost,   // the master's ACK to a data frame lost: the PLC sends the frame again
  fNoise,     // random bytes before or inside a frame
  fSplit,     // an answer handed over in pieces (at one random place, or byte by byte)
  fLate,      // an answer late past its time-out
  fSilent,    // a PLC that answers nothing for a few requests
  fPlcError,  // a PLC that refuses a request (NAK, error answer)
  fPortOpen,  // the port opened anew
  fReload,    // the settings reloaded: new speed settings, or the whole queue
  fCount
};
inline constexpr const char* kFaultNames[fCount] = {"flip",    "lose",     "double",   "repeat",
                                                    "acklost", "noise",    "split",    "late",
                                                    "silent",  "plcerror", "portopen", "reload"};
inline constexpr unsigned kAllFaults = (1u << fCount) - 1;

struct TFigures {
  uint64_t Seeds = 0;
  uint64_t Exchanges = 0;
  uint64_t Rows = 0;
  uint64_t ValuesChecked = 0;
  std::array<uint64_t, fCount> Faults{};
  uint64_t WrongValues = 0;
  uint64_t RowsTwice = 0;
  uint64_t Stuck = 0;
  uint64_t Unbounded = 0;
  uint64_t ErrorRows = 0;
  uint64_t LongestStallMs = 0;
  uint64_t FailedSeeds = 0;

  void Add(const TFigures& o) {
    Seeds += o.Seeds;
    Exchanges += o.Exchanges;
    Rows += o.Rows;
    ValuesChecked += o.ValuesChecked;
    for (int k = 0; k < fCount; ++k) Faults[static_cast<size_t>(k)] += o.Faults[static_cast<size_t>(k)];
    WrongValues += o.WrongValues;
    RowsTwice += o.RowsTwice;
    Stuck += o.Stuck;
    Unbounded += o.Unbounded;
    ErrorRows += o.ErrorRows;
    LongestStallMs = std::max(LongestStallMs, o.LongestStallMs);
    FailedSeeds += o.FailedSeeds;
  }
  std::string Text() const {
    std::ostringstream out;
    out << "seeds " << Seeds << ", exchanges " << Exchanges << ", rows " << Rows << ", values checked "
        << ValuesChecked << ", wrong values " << WrongValues << ", rows twice " << RowsTwice
        << ", stuck lines " << Stuck << ", unbounded " << Unbounded << ", failed seeds " << FailedSeeds
        << ", longest stall after the faults stopped " << LongestStallMs << " ms\nfaults injected:";
    for (int k = 0; k < fCount; ++k) out << " " << kFaultNames[k] << " " << Faults[static_cast<size_t>(k)];
    return out.str();
  }
};

struct TOptions {
  unsigned Faults = kAllFaults;
  uint64_t FaultMs = 8000;  // how long the line is faulty
  double FrameRate = 0.12;  // share of frames spoiled while it is
  double EventsPerSecond = 0.5;
  size_t ReportedFailures = 6;  // failures described per seed
};

struct TFailure {
  std::string Kind;  // what broke, in a few words
  std::string Text;  // when, which request, the values
};

struct TSeedResult {
  TFigures Figures;
  std::vector<TFailure> Failures;
  std::string Report;  // configuration, fault schedule and wire trace; empty when the seed passed
};

class TInvariantRun {
public:
  TInvariantRun(const TConfig& config, const TOptions& options)
      : C(config), O(options), Rnd(config.Seed * 2654435761u + 17), Rig(config.Protocol) {}

  TSeedResult Go();

private:
  struct TPending {
    uint64_t At;
    uint64_t Order;
    bool ToPlc;
    bool Break;
    std::string Bytes;
  };
  struct TSnapshot {
    std::string Data;
  };
  struct TGroup {  // requests that read the same memory of one PLC share its answers
    int Station = 0;
    std::string Key;  // how the PLC's log names the read
    std::vector<TSnapshot> Snapshots;
    size_t Cursor = 0;
  };

  // setup
  void BuildPlcs();
  void LoadQueue();
  void BuildGroups();
  std::string LogKey(const TRequestSpec& r) const;
  // the line
  void FromEngine();
  void FromPlcs();
  void SendToPlc(std::string bytes, bool isBreak, uint64_t delay = 0);
  void SendToMaster(std::string bytes, bool split, uint64_t delay = 0);
  void DeliverDue();
  void DeliverToPlc(const TPending& p);
  void DeliverToEngine(const std::string& bytes);
  bool SpoilToPlc(std::string& frame);
  bool SpoilToMaster(std::string& frame, bool& split, uint64_t& delay);
  bool Mutate(int fault, std::string& frame, bool fromPlc);
  void InjectEvent();
  void StopFaults();
  bool Faulty() const { return !FaultsOver && gNow < FaultEnd; }
  bool Enabled(int fault) const { return (O.Faults >> fault) & 1u; }
  void Note(int fault, const std::string& what);
  // what the PLC served, and its memory's stamp
  void NoteServedReads(size_t station);
  void Stamp(const TRequestSpec& r, sim::Simulator& plc);
  // checks
  void CheckRows();
  void CheckRow(const enginetest::TDelivered& row);
  bool RowMatches(const enginetest::TDelivered& row, const TRequestSpec& r, const std::string& data);
  void CheckStalls();
  uint64_t Bound(size_t index) const;
  size_t ExchangeBytes(const TRequestSpec& r) const;
  uint64_t ExchangeMs(const TRequestSpec& r) const;
  uint64_t WireMs(size_t bytes) const { return (bytes * C.ByteTimeUs + 999) / 1000; }
  void Fail(const std::string& kind, const std::string& what);
  void Trace(const std::string& line);
  std::string Report() const;

  TConfig C;
  TOptions O;
  Random Rnd;
  enginetest::TEngineRig Rig;
  std::vector<std::unique_ptr<sim::Simulator>> Plcs;
  std::vector<uint64_t> SeenEvents;
  std::vector<TGroup> Groups;
  std::vector<size_t> GroupOf;  // by request
  std::vector<TPending> Line;
  uint64_t Order = 0;
  uint64_t LineFree[2] = {0, 0};   // to the PLCs, to the master
  std::string LastPlcData;         // the last data frame a PLC sent, as it sent it
  size_t SendingPlc = 0;           // the PLC whose frame is on its way to the master
  std::vector<bool> ReadingShown;  // by PLC: a row of it came, so the master knows its LRC reading
  uint64_t FaultEnd = 0;
  uint64_t FaultsStopped = 0;  // when the last spoiled frame has left the line
  bool FaultsOver = false;
  int32_t MostHandshakeMs = 0;
  int32_t MostDemoteForMs = 0;
  std::vector<uint64_t> LastRow;  // by request: the last row after the faults stopped
  std::vector<bool> Owed;         // by request, once-only: a row is owed since the last reset
  std::vector<bool> StuckSeen;
  TFigures F;
  std::vector<TFailure> Failures;
  std::deque<std::string> TraceLines;
  std::deque<std::string> FirstFailureTrace;
  std::deque<std::string> FaultLines;
  uint64_t FaultLinesDropped = 0;
};

}  // namespace kelda::invariant
