#include "tools/plcsim/Faults.h"

#include <stdexcept>
#include <string>

#include "tools/plcsim/Checks.h"

namespace kelda::plcsim {

namespace {

void CheckCount(int count, const char* name) {
  if (count < -1) throw std::invalid_argument(std::string("fault count out of range: ") + name);
}

bool IsCcm(Mode mode) {
  return mode == Mode::CcmMasterSlave || mode == Mode::CcmPeerToPeer;
}

// Bytes that can begin a frame of CCM, SNP or SNP-X (or are a whole control answer).
bool CanStartFrame(uint8_t b) {
  return b < 0x20 || b == 'N' || b == 'Q';
}

// A CCM data block "STX data ETB|ETX LRC" ending at the end of `bytes`, with either LRC rule.
bool EndsWithCcmBlock(const std::vector<uint8_t>& bytes) {
  const size_t n = bytes.size();
  if (n < 4 || (bytes[n - 2] != 0x03 && bytes[n - 2] != 0x17)) return false;
  for (size_t start = 0; start + 4 <= n; ++start) {
    if (bytes[start] != 0x02 || n - start - 3 > 256) continue;
    const uint8_t dataOnly = ccmLrc(&bytes[start + 1], n - start - 3);
    const uint8_t framed = ccmLrc(&bytes[start], n - start - 1);
    if (bytes[n - 1] == dataOnly || bytes[n - 1] == framed) return true;
  }
  return false;
}

// An SNP or SNP-X message "ESC type ... ETB x x x x BCC" (or the ASCII-BCC attach response).
bool EndsWithSnpMessage(const std::vector<uint8_t>& bytes) {
  const size_t n = bytes.size();
  // Every message ends in "ETB x x x x check": without the ETB no start needs a look.
  if (n < 9 || bytes[n - 6] != 0x17) return false;
  for (size_t start = 0; start + 9 <= n; ++start) {
    if (bytes[start] != 0x1B) continue;
    const size_t length = n - start;
    if (bytes[n - 1] == snpBcc(&bytes[start], length - 1)) return true;
    if (length == 24) {
      const std::string ascii = HexText(snpBcc(&bytes[start], 22), 2);
      if (bytes[n - 2] == static_cast<uint8_t>(ascii[0]) && bytes[n - 1] == static_cast<uint8_t>(ascii[1]))
        return true;
    }
  }
  return false;
}

}  // namespace

void ValidateFaults(const Faults& faults) {
  CheckCount(faults.noiseBeforeFrames, "noiseBeforeFrames");
  CheckCount(faults.corruptCheck, "corruptCheck");
  CheckCount(faults.nak, "nak");
  CheckCount(faults.silent, "silent");
  CheckCount(faults.repeatFrame, "repeatFrame");
  CheckCount(faults.endlessChain, "endlessChain");
  CheckCount(faults.errorNack, "errorNack");
  CheckCount(faults.extraByte, "extraByte");
  CheckCount(faults.ccmPad, "ccmPad");
  if (faults.noiseEveryMs < 0 || faults.noiseEveryMs > kNoiseEveryLimitMs)
    throw std::invalid_argument("noiseEveryMs must be 0 (off) or 1.." + std::to_string(kNoiseEveryLimitMs));
  // Major 0 is the success status: a D1 carrying it would be no refusal at all.
  if (faults.errorNackMajor == 0) throw std::invalid_argument("errorNackMajor must not be 0");
  if (faults.noiseMax < 1 || faults.noiseMax > kNoiseMaxLimit)
    throw std::invalid_argument("noiseMax must be 1.." + std::to_string(kNoiseMaxLimit));
  if (faults.lateMs < 0) throw std::invalid_argument("lateMs must not be negative");
}

bool TakeFault(int& count) {
  if (count == 0) return false;
  if (count > 0) --count;
  return true;
}

bool EndsWithAnswerFrame(Mode mode, const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return false;
  const uint8_t last = bytes.back();
  if (IsCcm(mode)) {
    if (last == 0x04 || last == 0x06 || last == 0x15) return true;  // EOT, ACK, NAK (alone or after "N",id)
    return EndsWithCcmBlock(bytes);
  }
  if (mode == Mode::Snp && bytes.size() >= 2 &&
      (bytes[bytes.size() - 2] == 0x06 || bytes[bytes.size() - 2] == 0x15))
    return true;  // the two-byte ACK/NAK
  return EndsWithSnpMessage(bytes);
}

namespace {

// Appends one noise byte to `noise` that neither starts a frame (safe noise) nor completes one.
void AppendNoiseByte(Mode mode, const Faults& faults, std::mt19937& random, std::vector<uint8_t>& noise) {
  for (int attempts = 0;; ++attempts) {
    if (attempts > 100000) throw std::logic_error("no noise byte fits");
    const uint8_t b = static_cast<uint8_t>(random() & 0xFF);
    if (faults.noiseSafe && CanStartFrame(b)) continue;
    // SNP's ACK and NAK are complete with whatever byte follows them, noise or answer.
    if (mode == Mode::Snp && (b == 0x06 || b == 0x15)) continue;
    noise.push_back(b);
    if (!EndsWithAnswerFrame(mode, noise)) return;
    noise.pop_back();
  }
}

// The longest frame an answer check looks back over: a CCM block or an SNP message of the
// largest data size; older noise cannot be part of a frame with the next byte.
constexpr size_t kNoiseRunKept = 8192 + 16;

}  // namespace

std::vector<uint8_t> MakeNoise(Mode mode, const Faults& faults, std::mt19937& random) {
  const size_t count = 1 + random() % static_cast<uint32_t>(faults.noiseMax);
  std::vector<uint8_t> noise;
  while (noise.size() < count) AppendNoiseByte(mode, faults, random, noise);
  return noise;
}

uint8_t NextNoiseByte(Mode mode, const Faults& faults, std::mt19937& random, std::vector<uint8_t>& run) {
  if (run.size() >= kNoiseRunKept)
    run.erase(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(run.size() / 2));
  AppendNoiseByte(mode, faults, random, run);
  return run.back();
}

}  // namespace kelda::plcsim
