// The frame search written the plain way, for tests, the fuzz target and the benchmark to hold
// the fast search against: starts in order, ends in order, every check recomputed from the
// start for every candidate end (cubic in the buffer length). Given up are only starts whose
// end scan stopped at the length limit; the bytes through their last failed end are consumed,
// but never a start that may still complete. Self-contained on purpose: it shares no code with
// the search it checks.
#pragma once

#include <algorithm>
#include <cstdint>

#include "module/PluginDM_FrameSearch.h"

namespace kelda::test {

inline uint8_t ReferenceLrc(const uint8_t* data, int32_t size) {
  uint8_t lrc = 0;
  for (int32_t k = 0; k < size; ++k) lrc = static_cast<uint8_t>(lrc ^ data[k]);
  return lrc;
}

// Exclusive-or, shift left by one; a carry out of the byte comes back in as bit 0.
inline uint8_t ReferenceSnpBcc(const uint8_t* data, int32_t size) {
  unsigned v = 0;
  for (int32_t k = 0; k < size; ++k) {
    v = (v ^ data[k]) << 1;
    if (v > 0xFF) v = (v | 1u) & 0xFFu;
  }
  return static_cast<uint8_t>(v);
}

inline int ReferenceTrailer(TCheckKind check) {
  if (check == TCheckKind::NoCheck) return 0;
  return check == TCheckKind::LrcCheck || check == TCheckKind::LrcEither ? 1 : 5;
}

inline bool ReferenceCheckPasses(const uint8_t* data, int32_t start, int32_t end, TCheckKind check) {
  static const char kHex[] = "0123456789ABCDEF";
  switch (check) {
    case TCheckKind::NoCheck:
      return true;
    case TCheckKind::LrcCheck:
      return ReferenceLrc(data + start, end - start + 1) == data[end + 1];
    case TCheckKind::LrcEither:
      return ReferenceLrc(data + start, end - start + 1) == data[end + 1] ||
             ReferenceLrc(data + start + 1, end - start - 1) == data[end + 1];
    case TCheckKind::BccBinary:
      return ReferenceSnpBcc(data + start, end + 4 - start + 1) == data[end + 5];
    case TCheckKind::BccHex: {
      const uint8_t bcc = ReferenceSnpBcc(data + start, end + 3 - start + 1);
      return data[end + 4] == kHex[bcc >> 4] && data[end + 5] == kHex[bcc & 15];
    }
  }
  return false;
}

inline TFrameMatch ReferenceFindFrame(const uint8_t* data, int32_t size, uint8_t startChar,
                                      TEndChars endChars, int32_t maxLength, TCheckKind check) {
  TFrameMatch none;
  if (!data || size <= 0) return none;
  const int32_t last = size - 1 - ReferenceTrailer(check);
  const int count = std::clamp(endChars.Count, 0, 2);
  int32_t lowestLive = -1;
  int32_t failedEnd = -1;
  for (int32_t i = 0; i < size; ++i) {
    if (data[i] != startChar) continue;
    if (i > last) {  // its trailer cannot be buffered yet: still open
      if (lowestLive < 0) lowestLive = i;
      continue;
    }
    if (count == 0) return {i, -1, 0};
    bool stoppedAtLimit = false;
    int32_t lastFailed = -1;
    for (int32_t e = i + 1; e <= last; ++e) {
      for (int k = 0; k < count; ++k) {
        if (data[e] != endChars.Chars[k]) continue;
        if (ReferenceCheckPasses(data, i, e, check)) return {i, e, endChars.Chars[k]};
        lastFailed = e;
        break;
      }
      const int32_t n = e - i + 1;
      if (maxLength > 0 && n >= maxLength) {
        stoppedAtLimit = true;
        break;
      }
    }
    if (stoppedAtLimit)
      failedEnd = std::max(failedEnd, lastFailed);
    else if (lowestLive < 0)
      lowestLive = i;
  }
  if (lowestLive >= 0 && failedEnd >= lowestLive) failedEnd = lowestLive - 1;
  none.End = failedEnd;
  return none;
}

}  // namespace kelda::test
