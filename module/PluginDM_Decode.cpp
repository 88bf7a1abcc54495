#include "module/PluginDM_Decode.h"

#include <algorithm>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "module/PluginDM.h"
#include "platform/CodePage.h"

namespace kelda {

namespace {

// An SNP-X answer's data starts with the PLC status word, the status code and two more bytes
// before the values that were read.
constexpr std::size_t kSnpXHeaderSize = 6;

// The module's link address as the host receives it: truncated toward zero, saturated to the
// 64-bit range, 0 when the setting is not a number.
int64_t AddressValue(double value) {
  if (std::isnan(value)) return 0;
  const double t = std::trunc(value);
  if (t <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  if (t >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(t);
}

// A 16-bit word whose low byte comes first; bytes past the end of the data count as 0.
uint16_t LowByteFirst(std::span<const uint8_t> data, std::size_t at) {
  const uint16_t low = at < data.size() ? data[at] : 0;
  const uint16_t high = at + 1 < data.size() ? data[at + 1] : 0;
  return static_cast<uint16_t>(low | (high << 8));
}

// A number field of `width` bytes (1, 2, 4 or 8). The PLC sends 16-bit registers high byte
// first; a wider number is a run of registers whose first is the least significant unless the
// item says the registers are swapped (most significant first). The item's little-endian flag
// reverses the assembled bytes for devices that send their numbers the other way round.
uint64_t AssembleField(const uint8_t* field, int width, bool swapped, bool littleEndian) {
  uint8_t bytes[8];  // least significant first
  if (width == 1) {
    bytes[0] = field[0];
  } else {
    const int words = width / 2;
    for (int w = 0; w < words; ++w) {
      const int source = swapped ? words - 1 - w : w;
      bytes[2 * w] = field[2 * source + 1];
      bytes[2 * w + 1] = field[2 * source];
    }
  }
  if (littleEndian) std::reverse(bytes, bytes + width);
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// How many bytes reading one value of a data type touches at its position. A text reads what
// is there up to the end and needs no byte; a bit needs the byte that holds it.
int FieldWidth(uint8_t dataType) {
  switch (dataType) {
    case dtD16:
      return 2;
    case dtD32:
    case dtF32:
      return 4;
    case dtD64:
    case dtF64:
      return 8;
    case dtS:
      return 0;
    default:
      return 1;  // D8, BIT
  }
}

uint8_t KnownDataType(uint8_t dataType) {
  return dataType < DataTypeCount ? dataType : static_cast<uint8_t>(dtD8);
}

// A value comes from the data when the item's current step (`size`) fits and the bytes the
// value itself reads lie inside the data. Positions are 64-bit: a configured offset may be
// anywhere in the 32-bit range and keeps growing by the step.
bool Available(int64_t pos, int64_t size, int width, int64_t length) {
  return pos >= 0 && pos + size <= length && pos + width <= length;
}

VARIANT ScaledValue(long double number, long double scale) {
  return VariantFromDouble(static_cast<double>(number * scale));
}

float SingleOf(uint64_t bits) {
  const uint32_t word = static_cast<uint32_t>(bits);
  float value;
  std::memcpy(&value, &word, sizeof value);
  return value;
}

double DoubleOf(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// A number read from `field`; a scale other than exactly 1 makes every number a double.
VARIANT NumberValue(const TResponseItem& item, uint8_t dataType, const uint8_t* field) {
  const uint64_t raw = AssembleField(field, FieldWidth(dataType), item.Swapped, item.LE);
  const bool scaled = item.Scale != 1;
  switch (dataType) {
    case dtD16:
      if (item.Unsigned) {
        const uint16_t u = static_cast<uint16_t>(raw);
        return scaled ? ScaledValue(u, item.Scale) : VariantFromUInt16(u);
      } else {
        const int16_t s = static_cast<int16_t>(raw);
        return scaled ? ScaledValue(s, item.Scale) : VariantFromInt16(s);
      }
    case dtD32:
      if (item.Unsigned) {
        const uint32_t u = static_cast<uint32_t>(raw);
        return scaled ? ScaledValue(u, item.Scale) : VariantFromUInt32(u);
      } else {
        const int32_t s = static_cast<int32_t>(raw);
        return scaled ? ScaledValue(s, item.Scale) : VariantFromInt(s);
      }
    case dtD64: {  // always signed
      const int64_t s = static_cast<int64_t>(raw);
      return scaled ? ScaledValue(s, item.Scale) : VariantFromInt64(s);
    }
    case dtF32: {
      const float f = SingleOf(raw);
      return scaled ? ScaledValue(f, item.Scale) : VariantFromDouble(f);
    }
    case dtF64: {
      const double d = DoubleOf(raw);
      return scaled ? ScaledValue(d, item.Scale) : VariantFromDouble(d);
    }
    default:  // D8
      if (item.Unsigned) {
        const uint8_t u = static_cast<uint8_t>(raw);
        return scaled ? ScaledValue(u, item.Scale) : VariantFromUInt8(u);
      } else {
        const int8_t s = static_cast<int8_t>(raw);
        return scaled ? ScaledValue(s, item.Scale) : VariantFromInt8(s);
      }
  }
}

// A text runs to the end of the answer: the PLC pads it with zero bytes, which are left out
// wherever they stand. `size` becomes the number of bytes consumed.
VARIANT TextValue(std::span<const uint8_t> data, int64_t pos, int64_t& size) {
  const auto rest = data.subspan(static_cast<std::size_t>(pos));
  std::string text;
  text.reserve(rest.size());
  for (uint8_t byte : rest)
    if (byte != 0) text.push_back(static_cast<char>(byte));
  size = static_cast<int64_t>(rest.size());
  return VariantFromText(text);
}

// The k-th bit of a bit item: eight consecutive values share one byte, lowest bit first (highest
// first with the little-endian flag); after the eighth the item steps to the next byte.
VARIANT BitValue(const TResponseItem& item, uint8_t byte, int64_t k, int64_t& size) {
  const int b = static_cast<int>(k % 8);
  const int bit = item.LE ? 7 - b : b;
  size = b == 7 ? 1 : 0;
  return VariantFromBool(((byte >> bit) & 1) != 0);
}

VARIANT ValueFromData(const TResponseItem& item, uint8_t dataType, std::span<const uint8_t> data, int64_t pos,
                      int64_t k, int64_t& size) {
  switch (dataType) {
    case dtS:
      return TextValue(data, pos, size);
    case dtBIT:
      return BitValue(item, data[static_cast<std::size_t>(pos)], k, size);
    default:
      return NumberValue(item, dataType, data.data() + pos);
  }
}

bool TextToInt32(std::string_view text, int32_t& value) {
  int64_t wide;
  if (!TryTextToInt64(text, wide)) return false;
  if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(wide);
  return true;
}

bool IsTrueText(std::string_view text) {
  const std::string lower = platform::AnsiLowerCase(text);
  return lower == "1" || lower == "y" || lower == "yes" || lower == "on" || lower == "high";
}

// The item's default text as a value of its own kind, unscaled; a text that does not convert
// gives the unsigned 8-bit 0. Returns false for such a text.
bool TryDefaultValue(const TResponseItem& item, uint8_t dataType, VARIANT& value) {
  const std::string_view text = item.DefaultValue;
  int32_t i32;
  int64_t i64;
  double d;
  switch (dataType) {
    case dtD8:
      if (!TextToInt32(text, i32)) return false;
      value = item.Unsigned ? VariantFromUInt8(static_cast<uint8_t>(i32))
                            : VariantFromInt8(static_cast<int8_t>(i32));
      return true;
    case dtD16:
      if (!TextToInt32(text, i32)) return false;
      value = item.Unsigned ? VariantFromUInt16(static_cast<uint16_t>(i32))
                            : VariantFromInt16(static_cast<int16_t>(i32));
      return true;
    case dtD32:
      if (item.Unsigned) {
        if (!TryTextToInt64(text, i64)) return false;
        value = VariantFromUInt32(static_cast<uint32_t>(i64));
      } else {
        if (!TextToInt32(text, i32)) return false;
        value = VariantFromInt(i32);
      }
      return true;
    case dtD64:
      if (!TryTextToInt64(text, i64)) return false;
      value = VariantFromInt64(i64);
      return true;
    case dtF32:
      // A number beyond the single range has no single-precision form.
      if (!TryTextToDouble(text, d) || std::fabs(d) > FLT_MAX) return false;
      value = VariantFromDouble(static_cast<float>(d));
      return true;
    case dtF64:
      if (!TryTextToDouble(text, d)) return false;
      value = VariantFromDouble(d);
      return true;
    case dtS:
      value = VariantFromText(text);
      return true;
    default:  // BIT
      value = VariantFromBool(IsTrueText(text));
      return true;
  }
}

VARIANT DefaultValueOf(const TResponseItem& item, uint8_t dataType) {
  VARIANT value;
  if (!TryDefaultValue(item, dataType, value)) value = VariantFromUInt8(0);
  return value;
}

// Adds one value and says whether the list took it (a blank name adds nothing).
bool AddValue(TzorParamsList& list, std::string_view name, VARIANT value) {
  const TVariant owned = TVariant::Adopt(value);
  return list.Add(name, owned) != nullptr;
}

// `name` := the item's name, followed by the counter when the item counts its values.
void ValueName(const TResponseItem& item, std::size_t stem, int64_t k, std::string& name) {
  name.resize(stem);
  if (!item.AppendCnt) return;
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, item.ZeroBaseCnt ? k : k + 1).ptr;
  name.append(digits, end);
}

// The values of one response item, starting at `pos`. Returns how many the list took; `pos`
// ends after the item.
int DecodeItem(const TResponseItem& item, std::span<const uint8_t> data, int64_t& pos, std::string& name,
               TzorParamsList& list) {
  const uint8_t dataType = KnownDataType(item.DataType);
  const int width = FieldWidth(dataType);
  const int64_t length = static_cast<int64_t>(data.size());
  int64_t size = item.ByteSize;
  name.assign(item.Name);
  const std::size_t stem = name.size();
  int added = 0;
  for (int64_t k = 0; k < item.Count; ++k) {
    ValueName(item, stem, k, name);
    const VARIANT value = Available(pos, size, width, length)
                              ? ValueFromData(item, dataType, data, pos, k, size)
                              : DefaultValueOf(item, dataType);
    if (AddValue(list, name, value)) ++added;
    pos += size;
  }
  return added;
}

}  // namespace

int DecodeResponseItems(const TRequestItem& request, std::span<const uint8_t> data, uint8_t protocol,
                        double localAddress, TzorParamsList& list) {
  int count = 0;
  count += AddValue(list, "SOURCE_ADDRESS", VariantFromInt64(AddressValue(localAddress)));
  count += AddValue(list, "TARGET_ADDRESS", VariantFromText(request.Address));
  const uint8_t memory = protocol == protoSnpX ? request.Memory : CcmMemoryType(request.Memory);
  count += AddValue(list, "MEMORY", VariantFromUInt8(memory));
  count += AddValue(list, "MEMORY_ADDRESS", VariantFromUInt32(static_cast<uint32_t>(request.Offset)));

  if (protocol == protoSnpX) {
    AddValue(list, "PLC_STATUS", VariantFromUInt16(LowByteFirst(data, 0)));
    AddValue(list, "STATUS_CODE", VariantFromUInt16(LowByteFirst(data, 2)));
    // An answer with nothing after its header carries no values; its status items stay in
    // the list but do not count as decoded values.
    if (data.size() <= kSnpXHeaderSize) return count;
    data = data.subspan(kSnpXHeaderSize);
    count += 2;
  }

  int64_t continuePos = 0;  // where an item placed after the previous one starts
  std::string name;
  for (const auto& item : request.ResponseItems) {
    int64_t pos = item->Offset == -1 ? continuePos : item->Offset;
    count += DecodeItem(*item, data, pos, name, list);
    continuePos = pos;
  }
  return count;
}

}  // namespace kelda
