// Decoding a complete answer into named values: a polled request with many response items is
// decoded into a fresh packet list at every answer, so the cost per value bounds how many values
// a data source can deliver.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Common/zorParamLst.h"
#include "module/PluginDM.h"
#include "module/PluginDM_Decode.h"

using namespace kelda;

namespace {

// 100 items of one value each, of every number type and bits, every tenth one scaled, placed
// one after the other.
TRequestItem MixedRequest(std::size_t& dataSize) {
  static const uint8_t types[] = {dtD8, dtD16, dtD32, dtD64, dtF32, dtF64, dtBIT, dtD16, dtD32, dtBIT};
  TRequestItem request;
  request.Address = "2";
  request.Memory = 8;
  int bits = 0;
  dataSize = 0;
  for (int i = 0; i < 100; ++i) {
    auto item = std::make_unique<TResponseItem>();
    item->SetDataType(types[i % 10]);
    item->Name = "VALUE_" + std::to_string(i);
    item->AppendCnt = false;
    item->Unsigned = i % 3 != 0;
    if (i % 10 == 3) item->Scale = 0.1L;
    if (item->DataType == dtBIT) {
      if (++bits % 8 == 0) ++dataSize;
    } else {
      dataSize += static_cast<std::size_t>(item->ByteSize);
    }
    request.ResponseItems.push_back(std::move(item));
  }
  dataSize += 1;  // the byte the bits read
  return request;
}

}  // namespace

static void BM_DecodeMixedItems(benchmark::State& state) {
  std::size_t size = 0;
  const TRequestItem request = MixedRequest(size);
  std::vector<uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  int64_t values = 0;
  for (auto _ : state) {
    TParsedDataList list;
    DecodeResponseItems(request, data, protoSnp, 1, list);
    values += list.Count() - 4;
    benchmark::DoNotOptimize(list.Count());
  }
  state.SetItemsProcessed(values);  // values per second
}
BENCHMARK(BM_DecodeMixedItems);

// The same request with counted names: one item of 100 values.
static void BM_DecodeCountedValues(benchmark::State& state) {
  TRequestItem request;
  auto item = std::make_unique<TResponseItem>();
  item->SetDataType(dtD16);
  item->Name = "LEVEL";
  item->Count = 100;
  request.ResponseItems.push_back(std::move(item));
  const std::vector<uint8_t> data(200, 0x5A);
  int64_t values = 0;
  for (auto _ : state) {
    TParsedDataList list;
    DecodeResponseItems(request, data, protoSnp, 1, list);
    values += list.Count() - 4;
    benchmark::DoNotOptimize(list.Count());
  }
  state.SetItemsProcessed(values);
}
BENCHMARK(BM_DecodeCountedValues);
