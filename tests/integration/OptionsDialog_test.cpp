// The options dialog exports of the real library: its own form resources, packed for the host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/ComponentStream.h"
#include "tools/KeldaHost.h"

using namespace kelda;
using namespace kelda::host;

namespace {

using TOptionsExport = int32_t(KELDA_STDCALL*)(TPluginCallRec*);

uint32_t Header(const std::vector<char>& buffer, int field) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(buffer[4 * field + i])} << (8 * i);
  return value;
}

}  // namespace

TEST(HostOptionsDialog, FormResourcesOfTheLibraryThroughTheExports) {
  TKeldaHost host(KELDA_LIBRARY_PATH);
  auto getOptions =
      reinterpret_cast<TOptionsExport>(platform::FindExport(host.Library(), "GetOptionsDialog"));
  auto showOptions =
      reinterpret_cast<TOptionsExport>(platform::FindExport(host.Library(), "ShowOptionsDialog"));
  ASSERT_NE(getOptions, nullptr);
  ASSERT_NE(showOptions, nullptr);
  uintptr_t instance = host.Create(5);
  ASSERT_NE(instance, 0u);
  ASSERT_EQ(host.Command(instance, "LOAD", host.LoadParams()).Code, 0);

  std::vector<char> buffer(100, '\0');
  TPluginCallRec record = TKeldaHost::NewRecord(instance);
  record.DataIn.Value = reinterpret_cast<uintptr_t>(buffer.data());
  record.DataIn.Size = 100;
  EXPECT_EQ(getOptions(&record), 3);
  const uintptr_t tooSmall = record.DataOut.Value;  // copies of the packed fields
  const int32_t needed = record.DataOut.Size;
  EXPECT_EQ(tooSmall, 3u);
  ASSERT_GT(needed, 100);

  buffer.assign(static_cast<std::size_t>(needed), '\0');
  record = TKeldaHost::NewRecord(instance);
  record.DataIn.Value = reinterpret_cast<uintptr_t>(buffer.data());
  record.DataIn.Size = needed;
  EXPECT_EQ(getOptions(&record), needed);
  const uint8_t kind = record.DataOut.Kind;
  const uintptr_t written = record.DataOut.Value;
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(written, static_cast<uintptr_t>(needed));
  ASSERT_EQ(Header(buffer, 0), 24u);
  std::string definition(buffer.data() + 24, Header(buffer, 1));
  std::string code(buffer.data() + Header(buffer, 4), Header(buffer, 5));
  EXPECT_EQ(24 + definition.size() + code.size(), static_cast<std::size_t>(needed));
  TStreamObject form = ReadComponentStream(definition);
  EXPECT_EQ(form.Name, "frmOption");
  EXPECT_EQ(form.ClassName, "TfrmOption");
  ASSERT_GE(code.size(), 18u);
  EXPECT_EQ(code.substr(0, 3), "\x1f\x8b\x08") << "the form code is passed on packed";

  // After the host showed the dialog, the module answers true: its settings are taken again.
  record = TKeldaHost::NewRecord(instance);
  EXPECT_EQ(showOptions(&record), 1);
  const uint8_t showKind = record.DataOut.Kind;
  const int32_t showSize = record.DataOut.Size;
  const uintptr_t shown = record.DataOut.Value;
  EXPECT_EQ(showKind, 5);
  EXPECT_EQ(showSize, 4);
  EXPECT_EQ(shown, 1u);
  EXPECT_EQ(host.Free(instance), 0);
}
