// Helpers for the framework's tests: call records, host lists in interface form, and the log
// as the host would read it. The tests call the framework's entry functions directly.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "Plugins/zorPluginModule.h"

namespace kelda::test {

inline TPluginCallRec NewRecord(uintptr_t instance = 0) {
  TPluginCallRec record;
  std::memset(&record, 0, sizeof(record));
  record.Size = kCallRecSize;
  record.Instance = instance;
  return record;
}

// A host list handed over as the address of an interface variable.
class THostList {
public:
  THostList() : FWrap(new TzorParamsListWrap()) {
    FIntf = TInterfaceRef<IzorParamsListA>::Share(FWrap->AsA());
  }
  THostList& Add(const std::string& name, const VARIANT& value) {
    FWrap->List->Add(name, value);
    return *this;
  }
  THostList& Add(const std::string& name, const std::string& text) {
    return Add(name, TVariant::Adopt(VariantFromText(text)).Raw());
  }
  THostList& Add(const std::string& name, int32_t value) {
    return Add(name, TVariant::Adopt(VariantFromInt(value)).Raw());
  }
  THostList& AddEmpty(const std::string& name) { return Add(name, TVariant().Raw()); }
  void* Pointer() {
    FVariable = FIntf.get();
    return &FVariable;
  }
  TzorParamsList* List() const { return FWrap->List; }
  TVariant Value(const std::string& name) const { return FWrap->List->GetValue(name); }

private:
  TzorParamsListWrap* FWrap;
  TInterfaceRef<IzorParamsListA> FIntf;
  IzorParamsListA* FVariable = nullptr;
};

inline uintptr_t CreateInstance() {
  TPluginCallRec record = NewRecord();
  if (zorCreatePluginInstance(&record) != 0) return 0;
  return record.Instance;
}

inline int32_t FreeInstance(uintptr_t instance) {
  TPluginCallRec record = NewRecord(instance);
  return zorFreePluginInstance(&record);
}

struct TCommandOutcome {
  int32_t Code;
  TVariant Result;
};

inline TCommandOutcome RunCommand(uintptr_t instance, THostList& list, uint8_t flags = 0) {
  TPluginCallRec record = NewRecord(instance);
  record.Flags = flags;
  record.Params = list.Pointer();
  int32_t code = zorExecutePluginCommand(&record);
  return {code, list.Value("RESULT")};
}

inline TCommandOutcome RunCommand(uintptr_t instance, const std::string& word, uint8_t flags = 0) {
  THostList list;
  list.Add("COMMAND", word).AddEmpty("RESULT");
  return RunCommand(instance, list, flags);
}

inline std::string FetchLogText(uintptr_t instance) {
  std::vector<char> buffer(1 << 20);
  TPluginCallRec record = NewRecord(instance);
  record.DataIn.Size = static_cast<int32_t>(buffer.size());
  record.DataIn.Value = reinterpret_cast<uintptr_t>(buffer.data());
  int32_t copied = zorGetLogEx(&record);
  return std::string(buffer.data(), static_cast<std::size_t>(copied > 0 ? copied : 0));
}

// The log lines without their level byte; levels separately.
inline std::vector<std::pair<int, std::string>> FetchLog(uintptr_t instance) {
  std::vector<std::pair<int, std::string>> lines;
  std::string text = FetchLogText(instance);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    std::string line = text.substr(start, end - start);
    lines.emplace_back(static_cast<unsigned char>(line[0]) - 1, line.substr(1));
    start = end + 2;
  }
  return lines;
}

// Installs a plug-in class for the lifetime of the object.
class TPluginClassScope {
public:
  explicit TPluginClassScope(TzorPluginClass pluginClass) : FPrevious(SetPluginClass(pluginClass)) {}
  ~TPluginClassScope() { SetPluginClass(FPrevious); }

private:
  TzorPluginClass FPrevious;
};

// The instance behind a handle, for inspecting framework state (the handle is the instance).
inline TzorPlugin* Instance(uintptr_t handle) {
  return reinterpret_cast<TzorPlugin*>(handle);
}

}  // namespace kelda::test
