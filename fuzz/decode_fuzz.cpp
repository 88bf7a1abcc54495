// A PLC answer is cut into values by the response items of its request, whatever the user
// configured: offsets anywhere, counts that run past the data, any data type and flags. Nothing
// may read outside the answer; every configured value must reach the list (read or defaulted),
// except from an SNP-X answer that holds only its status; a plain byte inside the answer must
// come out as that byte.
//
// Input: byte 0 the protocol (low 2 bits); byte 1 the number of items (low 3 bits); then 6 bytes
// per item: data type, flags, offset (2 bytes, 0xFFFF placed after the previous item), count,
// scale choice; the rest is the answer.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "module/PluginDM.h"
#include "module/PluginDM_Decode.h"
#include "fuzz/FuzzCheck.h"

using namespace kelda;
using namespace kelda::fuzz;

namespace {

constexpr std::size_t kItemBytes = 6;

std::unique_ptr<TResponseItem> ItemFrom(const uint8_t* d, std::size_t index) {
  auto item = std::make_unique<TResponseItem>();
  item->Name = "V" + std::to_string(index) + "_";
  item->SetDataType(d[0] % (DataTypeCount + 1));  // one code past the table as well
  if (d[0] & 0x80) item->DataType = d[0];         // a code no loader would produce
  const uint8_t flags = d[1];
  item->AppendCnt = flags & 1;
  item->ZeroBaseCnt = flags & 2;
  item->Swapped = flags & 4;
  item->LE = flags & 8;
  item->Unsigned = flags & 16;
  if (flags & 32) item->DefaultValue = "12x";
  if (flags & 64) item->DefaultValue = "1e300";
  const uint16_t offset = static_cast<uint16_t>(d[2] | (d[3] << 8));
  item->Offset = offset == 0xFFFF ? -1 : (flags & 128 ? 0x7FFFFFF0 : offset);
  item->Count = d[4] % 40;
  static const long double scales[] = {1, 0.1L, -2, 0};
  item->Scale = scales[d[5] & 3];
  return item;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t protocol = data[0] & 3;
  const std::size_t itemCount = data[1] & 7;
  if (size < 2 + itemCount * kItemBytes) return 0;

  TRequestItem request;
  request.Address = "PLC";
  request.Memory = data[0] >> 2;
  request.Offset = -1;
  int64_t values = 0;
  for (std::size_t i = 0; i < itemCount; ++i) {
    request.ResponseItems.push_back(ItemFrom(data + 2 + i * kItemBytes, i));
    values += request.ResponseItems.back()->Count;
  }
  std::span<const uint8_t> answer(data + 2 + itemCount * kItemBytes, size - 2 - itemCount * kItemBytes);

  TzorParamsList list;
  const int counted = DecodeResponseItems(request, answer, protocol, data[0] * 1e17, list);
  const bool snpx = protocol == protoSnpX;
  const int header = snpx ? 6 : 4;
  if (snpx && answer.size() <= 6) {  // only the status: no values at all
    Check(list.Count() == 6 && counted == 4);
    return 0;
  }
  Check(list.Count() == header + values);
  Check(counted == header + values);

  // An unsigned, unscaled 8-bit value at a fixed offset inside the answer is that byte.
  const std::span<const uint8_t> body = snpx ? answer.subspan(6) : answer;
  int32_t index = header;
  for (const auto& item : request.ResponseItems) {
    if (item->Count > 0 && item->DataType == dtD8 && item->Unsigned && item->Scale == 1 &&
        item->Offset >= 0 && static_cast<std::size_t>(item->Offset) < body.size())
      Check(list.Items(index)->Value.ToInt() == body[static_cast<std::size_t>(item->Offset)]);
    index += item->Count;
  }
  return 0;
}
