// Fault decisions and line noise of the simulator.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "tools/plcsim/PlcSim.h"

namespace kelda::plcsim {

// Largest noiseMax: noise is a disturbance before an answer, not a flood.
constexpr int kNoiseMaxLimit = 256;
// Longest steady-noise period: a minute; a slower disturbance is no disturbance.
constexpr int kNoiseEveryLimitMs = 60000;

// Consumes one occurrence of a fault whose count is `count` (0 off, -1 always, n the next n).
bool TakeFault(int& count);

// 1..faults.noiseMax noise bytes. Safe noise uses no byte that can start a frame of any of the
// protocols; unsafe noise may use every byte value, but never contains an answer frame a master of
// `mode` could accept, nor ends in a byte that the answer's first byte would complete into one.
std::vector<uint8_t> MakeNoise(Mode mode, const Faults& faults, std::mt19937& random);

// True when `bytes` ends with a complete answer frame of `mode` (control answers included).
bool EndsWithAnswerFrame(Mode mode, const std::vector<uint8_t>& bytes);

// One byte of steady line noise, by the rules of MakeNoise. `run` holds the noise bytes sent
// since the last answer; the new byte is appended, so that no run of noise ever forms an answer.
uint8_t NextNoiseByte(Mode mode, const Faults& faults, std::mt19937& random, std::vector<uint8_t>& run);

}  // namespace kelda::plcsim
