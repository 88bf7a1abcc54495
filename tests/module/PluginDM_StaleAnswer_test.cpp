// Answers of an abandoned SNP exchange must never become another request's row. The engine plays
// a polled "Levels" (registers 0..7, its data in a text buffer) and a once-only "Identity"
// (registers 20 and 21, its data inline in the completion mailbox) against the simulated PLC.
// Disturbances abandon exchanges half-way (a time-out, the port opened again, the queue rebuilt)
// while the PLC's answers are still on their way: the host read them before its timer fired and
// hands them over afterwards, so they reach the engine after it started the next exchange.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <string>

#include "EngineSimKit.h"

using namespace kelda;
using namespace kelda::enginetest;

namespace {

constexpr int32_t kLevelsWords = 8;
constexpr int32_t kIdentityFirst = 20;

enum class TDisturbance { TimeOut, PortOpen, Rebuild };
constexpr TDisturbance kDisturbances[] = {TDisturbance::TimeOut, TDisturbance::PortOpen,
                                          TDisturbance::Rebuild};

const char* Name(TDisturbance d) {
  switch (d) {
    case TDisturbance::TimeOut:
      return "time-out";
    case TDisturbance::PortOpen:
      return "port opened";
    default:
      return "queue rebuilt";
  }
}

struct TStaleRig : TSimRig {
  TRequestItem* Levels = nullptr;
  TRequestItem* Identity = nullptr;
  std::deque<std::string> OnTheWay;  // the PLC's frames the host has not handed over yet

  explicit TStaleRig(uint8_t protocol = protoSnp) : TSimRig(protocol) { Load(); }

  void Load() {
    Levels = &AddRegisterRead(kLevelsWords, 20);
    Levels->Name = "Levels";
    Identity = &AddRequest("PLC1", kRegisters, kIdentityFirst, 2, 0);
    Identity->Name = "Identity";
    Identity->Timeout = 1000;
    AddItem(*Identity, "ONCE", dtD16, 0, 2).LE = true;
  }

  // What a reload of the settings does to the engine's queue.
  void Rebuild() {
    Engine.StopQueueTimer();
    {
      platform::WriteGuard guard(*Engine.RequestList);
      Engine.ClearLastRequest();
      static_cast<TObjectList*>(Engine.RequestList->GuardedObject())->Clear();
    }
    Load();
    Engine.QueueLoaded();
    Engine.Restart();
  }

  // The engine's frames reach the PLC at once; its answers queue up behind the earlier ones.
  void Wire() {
    for (const std::string& frame : Owner.TakeSent()) {
      if (frame == kBreakCommand) {
        Plc.lineBreak(gNow);
        continue;
      }
      Plc.receive(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), gNow);
    }
    for (const std::vector<uint8_t>& chunk : Plc.takeOutput(gNow))
      OnTheWay.emplace_back(chunk.begin(), chunk.end());
  }

  // Hands over up to `count` bytes of the front frame in one data call; false when none is left.
  bool HandOver(size_t count = SIZE_MAX) {
    Wire();
    if (OnTheWay.empty()) return false;
    std::string& frame = OnTheWay.front();
    const std::string piece = frame.substr(0, count);
    frame.erase(0, piece.size());
    if (frame.empty()) OnTheWay.pop_front();
    Receive(piece);
    Wire();
    return true;
  }

  // A tick 10 ms after the last one: shorter than the poll interval of Levels, so that the
  // scheduler comes to Identity too.
  void Step() {
    Advance(10);
    Tick();
    Wire();
  }

  void Disturb(TDisturbance d) {
    switch (d) {
      case TDisturbance::TimeOut:
        Advance(static_cast<uint64_t>(Identity->HandshakeTimeout) + 1);
        break;
      case TDisturbance::PortOpen:
        Engine.RequestReset(2);
        break;
      case TDisturbance::Rebuild:
        Rebuild();
        break;
    }
    Tick();
    Wire();
  }

  // The host catches up: a tick after every data call.
  void Settle(size_t chunk) {
    for (int i = 0; i < 100; ++i) {
      HandOver(chunk);
      Step();
    }
  }

  // Every row holds the memory its own request reads.
  void ExpectOwnRows() {
    for (const TDelivered& row : Owner.Delivered) {
      if (row.Values.count("R1")) {
        for (int32_t k = 1; k <= kLevelsWords; ++k)
          ASSERT_EQ(row.Int("R" + std::to_string(k)), RegisterValue(static_cast<uint32_t>(k - 1)))
              << "R" << k << " of a Levels row; packet " << Hex(row.PacketText);
      } else {
        ASSERT_TRUE(row.Values.count("ONCE1")) << "a row of neither request";
        ASSERT_EQ(row.Int("ONCE1"), RegisterValue(kIdentityFirst)) << Hex(row.PacketText);
        ASSERT_EQ(row.Int("ONCE2"), RegisterValue(kIdentityFirst + 1)) << Hex(row.PacketText);
      }
    }
  }
};

// The case the stress run met, step by step: an attach answer is still on its way when a
// time-out of Levels starts Identity, which takes it for its own and sends its mailbox; the PLC
// answers Identity's own attach and then the mailbox. A time-out then abandons Identity, and
// Levels meets exactly the answers of a whole exchange: attach response, acknowledgement,
// completion with data. (The stress run met it after a PORT-OPEN, which now ends the exchange
// under way; a slow host's time-out leaves the same backlog.)
TEST(StaleAnswers, AnExchangeOneAnswerBehindNeverGivesItsDataToTheNext) {
  TStaleRig rig;
  rig.Step();
  ASSERT_EQ(rig.Engine.FLastReq, rig.Levels);
  ASSERT_EQ(rig.OnTheWay.size(), 1u) << "Levels' attach response";

  rig.Disturb(TDisturbance::TimeOut);
  rig.Step();
  ASSERT_EQ(rig.Engine.FLastReq, rig.Identity);
  rig.HandOver();  // Levels' attach response, taken by Identity
  ASSERT_EQ(rig.Identity->Step, stMailboxSent);
  ASSERT_EQ(rig.OnTheWay.size(), 3u) << "Identity's attach response, acknowledgement and completion";

  rig.Disturb(TDisturbance::TimeOut);
  rig.Step();
  ASSERT_EQ(rig.Engine.FLastReq, rig.Levels);
  rig.Settle(SIZE_MAX);
  rig.ExpectOwnRows();
  EXPECT_FALSE(rig.Owner.Delivered.empty());
}

// Two disturbances at every frame boundary of the exchanges, the later one while the answers
// provoked by the first are still on their way.
TEST(StaleAnswers, TwoDisturbancesAtEveryFrameNeverMixRequests) {
  for (TDisturbance first : kDisturbances) {
    for (TDisturbance second : kDisturbances) {
      for (int ticks : {0, 1}) {
        for (size_t p1 = 0; p1 < 5; ++p1) {
          for (size_t p2 = 0; p2 < 5; ++p2) {
            SCOPED_TRACE(std::string(Name(first)) + " after " + std::to_string(p1) + " frames, " +
                         Name(second) + " after " + std::to_string(p2) + " more, " + std::to_string(ticks) +
                         " ticks between");
            TStaleRig rig;
            rig.Step();
            for (size_t i = 0; i < p1; ++i) rig.HandOver();
            rig.Disturb(first);
            for (int t = 0; t < ticks; ++t) rig.Step();
            for (size_t i = 0; i < p2; ++i) rig.HandOver();
            rig.Disturb(second);
            for (int t = 0; t < ticks; ++t) rig.Step();
            rig.Settle(SIZE_MAX);
            rig.ExpectOwnRows();
            if (HasFailure()) return;
          }
        }
      }
    }
  }
}

// One disturbance after every byte of the Identity exchange, the rest handed over afterwards in
// pieces of every size.
TEST(StaleAnswers, OneDisturbanceAtEveryByteOfIdentityNeverMixesRequests) {
  for (TDisturbance d : kDisturbances) {
    for (size_t chunk : {size_t{1}, SIZE_MAX}) {
      for (size_t point = 0;; ++point) {
        SCOPED_TRACE(std::string(Name(d)) + " after byte " + std::to_string(point) + ", chunk " +
                     std::to_string(chunk));
        TStaleRig rig;
        int guard = 0;
        while (rig.Engine.FLastReq != rig.Identity && ++guard < 200) {
          rig.Step();
          if (rig.Engine.FLastReq != rig.Identity)
            while (rig.HandOver()) {
            }
        }
        ASSERT_EQ(rig.Engine.FLastReq, rig.Identity);
        bool inside = true;
        for (size_t given = 0; given < point && inside; ++given) inside = rig.HandOver(1);
        if (!inside) break;  // past the end of the exchange
        rig.Disturb(d);
        rig.Settle(chunk);
        rig.ExpectOwnRows();
        EXPECT_FALSE(rig.Owner.Delivered.empty()) << "the link recovered";
        if (HasFailure()) return;
      }
    }
  }
}

// Disturbances, ticks and data calls of every size in a random order (fixed seeds): whatever
// backlog of old answers builds up, every row belongs to its request.
TEST(StaleAnswers, RandomBacklogsNeverMixRequests) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    const uint8_t protocol = seed % 2 ? protoSnp : protoSnpX;
    SCOPED_TRACE(enginetest::Name(protocol) + ", seed " + std::to_string(seed));
    std::mt19937 random(seed);
    TStaleRig rig(protocol);
    for (int step = 0; step < 300; ++step) {
      const uint32_t what = random() % 100;
      if (what < 55) {
        rig.HandOver(1 + random() % 5);
      } else if (what < 85) {
        rig.Advance(random() % 3 == 0 ? 0 : 10 + random() % 40);
        rig.Tick();
        rig.Wire();
      } else {
        rig.Disturb(kDisturbances[random() % 3]);
      }
    }
    rig.Settle(5);
    rig.ExpectOwnRows();
    if (HasFailure()) return;
  }
}

}  // namespace
