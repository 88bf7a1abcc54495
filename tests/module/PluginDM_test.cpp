#include "module/PluginDM.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

#include <cmath>
#include <limits>

#include "Common/zorParamLst.h"
#include "config/zorStringHolder.h"
#include "module/PluginDM_Decode.h"
#include "platform/File.h"
#include "platform/Sync.h"

using namespace kelda;

namespace {

class TFakePlugin : public IRequestQueuePlugin {
public:
  bool IsUnloaded() const override { return Unloaded; }
  bool IsStateFlagSet(int index) const override { return StateFlags[index]; }
  bool Unloaded = false;
  bool StateFlags[8] = {true, true};
};

// Stands in for the protocol engine: records what the loader did and when, and restarts its
// queue timer by the engine's rule (started plug-in, queue not empty).
class TFakeEngine : public IRequestQueueEngine {
public:
  TFakeEngine(const TFakePlugin& plugin, TThreadObjectList& queue) : FPlugin(plugin), FQueue(queue) {}
  void StopQueueTimer() override {
    TimerOn = false;
    Calls += "stop(" + std::to_string(FQueue.Count()) + ")";
  }
  void ClearLastRequest() override {
    LastRequest = nullptr;
    Calls += " clear";
  }
  void SetMinInterval(int32_t ms) override {
    MinInterval = ms;
    Calls += " min";
  }
  void SetProtocol(uint8_t protocol) override {
    Protocol = protocol;
    Calls += " proto";
  }
  void SetSpeed(const TSpeedSettings& speed) override {
    Speed = speed;
    Calls += " speed";
  }
  void Restart() override {
    TimerOn = FPlugin.StateFlags[0] && FQueue.Count() > 0;
    Calls += " restart(" + std::to_string(FQueue.Count()) + ")";
  }

  bool TimerOn = true;
  const void* LastRequest = this;
  int32_t MinInterval = -7;
  uint8_t Protocol = 99;
  TSpeedSettings Speed;
  std::string Calls;

private:
  const TFakePlugin& FPlugin;
  TThreadObjectList& FQueue;
};

// Reads the queue as the scheduler would, under its read lock.
std::vector<const TRequestItem*> Requests(TThreadObjectList& queue) {
  platform::ReadGuard guard(queue);
  std::vector<const TRequestItem*> out;
  for (TObject* o : *static_cast<TObjectList*>(queue.GuardedObject()))
    out.push_back(static_cast<const TRequestItem*>(o));
  return out;
}

std::vector<TRequestItem*> Queued(TThreadObjectList& queue) {
  platform::ReadGuard guard(queue);
  std::vector<TRequestItem*> out;
  for (TObject* o : *static_cast<TObjectList*>(queue.GuardedObject()))
    out.push_back(static_cast<TRequestItem*>(o));
  return out;
}

// A free-standing queue built from `config`.
struct TBuilt {
  TThreadObjectList Queue{true};
  std::vector<const TRequestItem*> Items;
  explicit TBuilt(const std::string& config) {
    TDataSourceCfg settings(nullptr);
    settings.lblParams_Caption = config;
    LoadRequestQueue(nullptr, &settings, Queue, nullptr);
    Items = Requests(Queue);
  }
};

std::string Query(const std::string& requests) {
  return "<MODBUSRTUQUERY>" + requests + "</MODBUSRTUQUERY>";
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  for (;;) {
    std::size_t hit = text.find(separator, pos);
    parts.push_back(text.substr(pos, hit - pos));
    if (hit == std::string::npos) return parts;
    pos = hit + separator.size();
  }
}

}  // namespace

TEST(DataSourceCfg, DefaultsAndPropertyMap) {
  TDataSourceCfg cfg(nullptr);
  EXPECT_EQ(cfg.comboProto_ItemIndex, 2);
  EXPECT_EQ(cfg.spLocalAddress_Value, 1.0);
  EXPECT_EQ(cfg.spMinInt_Value, 0.0);
  EXPECT_EQ(cfg.lblParams_Caption, "");
  EXPECT_EQ(cfg.OpenDialog_FileName, "");
  EXPECT_EQ(cfg.SaveDialog_FileName, "");
  EXPECT_EQ((std::vector<int32_t>{cfg.Left, cfg.Top, cfg.Height, cfg.Width}),
            (std::vector<int32_t>{326, 144, 435, 481}));

  // The map, read back from the holder's stored form, keeps its blank and comment lines.
  TzorStrHolder holder(nullptr);
  holder.SetStrings(PropertyMapLines());
  TStringList stored;
  holder.WriteStrData(stored);
  TzorStrHolder read(nullptr);
  read.ReadStoredForm(TzorStrHolder::CurrentVersion, stored);
  std::vector<std::string> lines;
  for (const auto& e : read.Strings()) lines.push_back(e.Text);
  const std::vector<std::string> expected{"Left,Left",
                                          "Top,Top",
                                          "Height,Height",
                                          "Width,Width",
                                          ";---short---",
                                          "lblParams.Caption,Parser config",
                                          "OpenDialog.FileName,Open files dir",
                                          "SaveDialog.FileName,Save files dir",
                                          "spMinInt.Value,Min interval",
                                          "",
                                          "spLocalAddress.Value,Local address",
                                          "spRemoteAddress.Value,Remote address",
                                          "spCPURack.Value,CPU rack",
                                          "spCPUSlot.Value,CPU slot",
                                          "",
                                          "comboProto.ItemIndex,Proto",
                                          "",
                                          "chkKeepSession.Checked,Keep session",
                                          "chkSendWhenReady.Checked,Send when ready",
                                          "spHandshakeTimeout.Value,Handshake timeout",
                                          "spRetries.Value,Retries",
                                          "spDemoteAfter.Value,Demote after",
                                          "spDemoteFor.Value,Demote for",
                                          ""};
  EXPECT_EQ(lines, expected);

  // Each property line names a published property of the kind its value is stored as, except
  // the three that belong to the options form only.
  std::vector<std::string> missing;
  int mapped = 0;
  for (const std::string& line : lines) {
    if (line.empty() || line[0] == ';') continue;
    std::string name = line.substr(0, line.find(','));
    for (char& c : name)
      if (c == '.') c = '_';
    const TPropertyInfo* p = FindProperty(cfg, name);
    if (!p) {
      missing.push_back(name);
      continue;
    }
    ++mapped;
    TPropertyKind kind = TPropertyKind::Integer;
    if (name == "lblParams_Caption" || name.find("Dialog_FileName") != std::string::npos)
      kind = TPropertyKind::Text;
    if (name == "spMinInt_Value" || name == "spLocalAddress_Value" || name == "spHandshakeTimeout_Value" ||
        name == "spDemoteFor_Value")
      kind = TPropertyKind::Double;
    EXPECT_EQ(p->Kind, kind) << name;
  }
  EXPECT_EQ(mapped, 16);
  EXPECT_EQ(missing,
            (std::vector<std::string>{"spRemoteAddress_Value", "spCPURack_Value", "spCPUSlot_Value"}));

  SetPropValue(cfg, *FindProperty(cfg, "lblparams_caption"), std::string("<x/>"));
  SetPropValue(cfg, *FindProperty(cfg, "spMinInt_Value"), 12.5);
  SetPropValue(cfg, *FindProperty(cfg, "comboProto_ItemIndex"), int32_t{3});
  EXPECT_EQ(cfg.lblParams_Caption, "<x/>");
  EXPECT_EQ(cfg.spMinInt_Value, 12.5);
  EXPECT_EQ(cfg.comboProto_ItemIndex, 3);
}

// The speed settings reach the engine in their valid ranges; a value that is no time keeps the
// default, and the handshake time-out reaches every request.
TEST(DataSourceCfg, SpeedSettingsDefaultToThePlainEngineAndStayInRange) {
  TDataSourceCfg cfg(nullptr);
  TSpeedSettings speed = SpeedSettingsOf(cfg);
  EXPECT_FALSE(speed.KeepSession);
  EXPECT_FALSE(speed.SendWhenReady);
  EXPECT_FALSE(speed.Timed());
  EXPECT_EQ(speed.HandshakeTimeout, 2000);
  EXPECT_EQ(speed.Retries, 0);
  EXPECT_EQ(speed.DemoteAfter, 0);
  EXPECT_EQ(speed.DemoteFor, 10000);

  cfg.chkSendWhenReady_Checked = 5;
  cfg.spHandshakeTimeout_Value = 350.9;
  cfg.spRetries_Value = 1000;
  cfg.spDemoteAfter_Value = 3;
  cfg.spDemoteFor_Value = 2500.5;
  speed = SpeedSettingsOf(cfg);
  EXPECT_TRUE(speed.SendWhenReady);
  EXPECT_TRUE(speed.Timed());
  EXPECT_EQ(speed.HandshakeTimeout, 350);
  EXPECT_EQ(speed.Retries, TSpeedSettings::kMaxRetries);
  EXPECT_EQ(speed.DemoteAfter, 3);
  EXPECT_EQ(speed.DemoteFor, 2500);

  cfg.spHandshakeTimeout_Value = std::numeric_limits<double>::quiet_NaN();
  cfg.spRetries_Value = -4;
  cfg.spDemoteAfter_Value = -1;
  cfg.spDemoteFor_Value = 0;
  speed = SpeedSettingsOf(cfg);
  EXPECT_EQ(speed.HandshakeTimeout, 2000);
  EXPECT_EQ(speed.Retries, 0);
  EXPECT_EQ(speed.DemoteAfter, 0);
  EXPECT_EQ(speed.DemoteFor, 10000);

  TFakePlugin plugin;
  TThreadObjectList queue(true);
  TFakeEngine engine(plugin, queue);
  cfg.lblParams_Caption = Query("<R1><Enabled>2</Enabled></R1><R2><Enabled>2</Enabled></R2>");
  cfg.chkKeepSession_Checked = 1;
  cfg.spHandshakeTimeout_Value = 750;
  LoadRequestQueue(&plugin, &cfg, queue, &engine);
  EXPECT_TRUE(engine.Speed.KeepSession);
  EXPECT_EQ(engine.Speed.HandshakeTimeout, 750);
  const std::vector<const TRequestItem*> requests = Requests(queue);
  ASSERT_EQ(requests.size(), 2u);
  for (const TRequestItem* request : requests) EXPECT_EQ(request->HandshakeTimeout, 750);
}

// Stored values past the options dialog's range (a hand-edited file, another program's registry
// entry) stop at its largest: a handshake time-out of 1e9 ms would never fire, a minimal interval
// of 1e9 ms would hold every request for days, a demotion time of 1e12 ms would set a PLC aside
// for good.
TEST(DataSourceCfg, StoredSettingsPastTheDialogsRangeStopAtItsLargest) {
  TDataSourceCfg cfg(nullptr);
  cfg.spHandshakeTimeout_Value = 1e9;
  cfg.spRetries_Value = std::numeric_limits<int32_t>::max();
  cfg.spDemoteAfter_Value = 1000000;
  cfg.spDemoteFor_Value = 1e12;
  cfg.spMinInt_Value = 1e9;
  const TSpeedSettings speed = SpeedSettingsOf(cfg);
  EXPECT_EQ(speed.HandshakeTimeout, 65535);
  EXPECT_EQ(speed.Retries, 255);
  EXPECT_EQ(speed.DemoteAfter, 65535);
  EXPECT_EQ(speed.DemoteFor, 3600000);
  EXPECT_EQ(MinIntervalOf(cfg), 65535);

  // The largest values the dialog offers pass unchanged, and so does its smallest interval.
  cfg.spHandshakeTimeout_Value = 65535;
  cfg.spDemoteAfter_Value = 65535;
  cfg.spDemoteFor_Value = 3600000;
  cfg.spMinInt_Value = 65535;
  EXPECT_EQ(SpeedSettingsOf(cfg).HandshakeTimeout, 65535);
  EXPECT_EQ(SpeedSettingsOf(cfg).DemoteAfter, 65535);
  EXPECT_EQ(SpeedSettingsOf(cfg).DemoteFor, 3600000);
  EXPECT_EQ(MinIntervalOf(cfg), 65535);
  cfg.spMinInt_Value = -1e9;
  EXPECT_EQ(MinIntervalOf(cfg), 0);

  // What the engine and every request are given.
  TFakePlugin plugin;
  TThreadObjectList queue(true);
  TFakeEngine engine(plugin, queue);
  cfg.lblParams_Caption = Query("<R1><Enabled>2</Enabled></R1>");
  cfg.spHandshakeTimeout_Value = 1e9;
  cfg.spMinInt_Value = 1e9;
  LoadRequestQueue(&plugin, &cfg, queue, &engine);
  EXPECT_EQ(engine.MinInterval, 65535);
  EXPECT_EQ(engine.Speed.HandshakeTimeout, 65535);
  const std::vector<const TRequestItem*> requests = Requests(queue);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]->HandshakeTimeout, 65535);
}

TEST(LoadRequestQueue, EngineStepsFollowThePluginState) {
  TFakePlugin plugin;
  TDataSourceCfg settings(nullptr);
  settings.lblParams_Caption = Query("<Request/><Request/>");
  settings.spMinInt_Value = 99.9;
  settings.comboProto_ItemIndex = 3;
  TThreadObjectList queue(true);
  TFakeEngine engine(plugin, queue);

  LoadRequestQueue(&plugin, &settings, queue, &engine);
  EXPECT_EQ(engine.Calls, "stop(0) clear min proto speed restart(2)");
  EXPECT_TRUE(engine.TimerOn);
  EXPECT_EQ(engine.LastRequest, nullptr);
  EXPECT_EQ(engine.MinInterval, 99);
  EXPECT_EQ(engine.Protocol, 3);
  EXPECT_EQ(queue.Count(), 2);

  // A rebuild replaces the queue; the timer is stopped while the old requests are still in it.
  engine.Calls.clear();
  settings.lblParams_Caption = Query("<Request/>");
  LoadRequestQueue(&plugin, &settings, queue, &engine);
  EXPECT_EQ(engine.Calls, "stop(2) clear min proto speed restart(1)");
  EXPECT_EQ(queue.Count(), 1);

  // Filled for state flag 1 alone, but the timer runs only with flag 0.
  plugin.StateFlags[0] = false;
  LoadRequestQueue(&plugin, &settings, queue, &engine);
  EXPECT_EQ(queue.Count(), 1);
  EXPECT_FALSE(engine.TimerOn);

  // Neither flag 0 nor 1, unloaded, no settings or no plug-in: emptied, stopped, nothing else
  // touched.
  struct TCase {
    const char* Label;
    bool Unloaded, Flag0, Flag1, Flag2, WithSettings, WithPlugin;
  };
  const TCase cases[] = {{"no flags", false, false, false, true, true, true},
                         {"unloaded", true, true, true, false, true, true},
                         {"no settings", false, true, true, false, false, true},
                         {"no plug-in", false, true, true, false, true, false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    plugin = TFakePlugin();
    LoadRequestQueue(&plugin, &settings, queue, &engine);
    ASSERT_EQ(queue.Count(), 1);
    plugin.Unloaded = c.Unloaded;
    plugin.StateFlags[0] = c.Flag0;
    plugin.StateFlags[1] = c.Flag1;
    plugin.StateFlags[2] = c.Flag2;
    engine.Calls.clear();
    engine.MinInterval = -7;
    engine.TimerOn = true;
    LoadRequestQueue(c.WithPlugin ? &plugin : nullptr, c.WithSettings ? &settings : nullptr, queue, &engine);
    EXPECT_EQ(engine.Calls, "stop(1) clear");
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_FALSE(engine.TimerOn);
    EXPECT_EQ(engine.MinInterval, -7);
  }
  plugin = TFakePlugin();

  // A text without requests: empty queue, timer off.
  for (const char* text : {"", "<Other><Request/></Other>", "not xml at all"}) {
    settings.lblParams_Caption = text;
    LoadRequestQueue(&plugin, &settings, queue, &engine);
    EXPECT_EQ(queue.Count(), 0) << text;
    EXPECT_FALSE(engine.TimerOn) << text;
  }

  // Protocol and minimal interval conversions.
  const std::pair<int32_t, uint8_t> protocols[] = {{0, 0}, {1, 1},  {2, 2},        {3, 3},
                                                   {4, 0}, {-1, 0}, {INT32_MAX, 0}};
  for (auto [stored, expected] : protocols) {
    settings.comboProto_ItemIndex = stored;
    LoadRequestQueue(&plugin, &settings, queue, &engine);
    EXPECT_EQ(engine.Protocol, expected) << stored;
  }
  // Truncated, and held in the options dialog's range 0 .. 65535.
  const std::pair<double, int32_t> intervals[] = {{0.0, 0},
                                                  {49.99, 49},
                                                  {-0.9, 0},
                                                  {-3.5, 0},
                                                  {65535, 65535},
                                                  {65535.9, 65535},
                                                  {65536, 65535},
                                                  {1e12, 65535},
                                                  {-1e12, 0},
                                                  {std::numeric_limits<double>::quiet_NaN(), 0},
                                                  {std::numeric_limits<double>::infinity(), 65535}};
  for (auto [stored, expected] : intervals) {
    settings.spMinInt_Value = stored;
    LoadRequestQueue(&plugin, &settings, queue, &engine);
    EXPECT_EQ(engine.MinInterval, expected) << stored;
  }
}

// The queues of one settings load are filled from one reading of the configuration. Each queue
// gets requests of its own: what one engine's scheduler writes into its request never shows in
// another's, and every queue starts from a new request's run-time fields. The response items,
// which nobody writes, are one list that lives as long as any queue holds it and decodes the same
// values for every engine as a queue read on its own does.
TEST(ParsedRequests, EachQueueOwnsItsRequestsAndSharesTheirItems) {
  TDataSourceCfg settings(nullptr);
  settings.lblParams_Caption = Query(
      "<Request caption=\"Levels\"><Enabled>1</Enabled><Address>PLC1</Address><Memory>8</Memory>"
      "<Offset>4</Offset><Size>3</Size><MethodPoll>1</MethodPoll><PollInterval>2</PollInterval>"
      "<PollUnits>S</PollUnits><Timeout>700</Timeout><Response>"
      "<Item><Name>LEVEL</Name><Count>2</Count><DataType>D16</DataType><Scale>0,5</Scale></Item>"
      "<Item><Name>FLAG</Name><DataType>BIT</DataType><Count>3</Count></Item></Response></Request>"
      "<Request/>");
  settings.spHandshakeTimeout_Value = 900;
  auto parsed = std::make_unique<TParsedRequests>(settings);
  ASSERT_EQ(parsed->Count(), 2);
  TThreadObjectList first(true);
  TThreadObjectList second(true);
  parsed->AppendTo(first);
  parsed->AppendTo(second);
  const TBuilt alone(settings.lblParams_Caption);  // a queue that read the text for itself
  std::vector<const TRequestItem*> a = Requests(first);
  std::vector<const TRequestItem*> b = Requests(second);
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(b.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    EXPECT_NE(a[i], b[i]);
    EXPECT_NE(a[i], &parsed->Request(static_cast<int>(i)));
    for (const TRequestItem* r : {a[i], b[i]}) {
      EXPECT_EQ(r->Name, alone.Items[i]->Name);
      EXPECT_EQ(r->Enabled, alone.Items[i]->Enabled);
      EXPECT_EQ(r->Address, alone.Items[i]->Address);
      EXPECT_EQ(r->Memory, alone.Items[i]->Memory);
      EXPECT_EQ(r->Offset, alone.Items[i]->Offset);
      EXPECT_EQ(r->Size, alone.Items[i]->Size);
      EXPECT_EQ(r->MethodPoll, alone.Items[i]->MethodPoll);
      EXPECT_EQ(r->PollInterval, alone.Items[i]->PollInterval);
      EXPECT_EQ(r->Timeout, alone.Items[i]->Timeout);
      EXPECT_EQ(r->HandshakeTimeout, 900) << "the settings' handshake time-out";
      EXPECT_EQ(r->ResponseItems.size(), alone.Items[i]->ResponseItems.size());
    }
    if (!a[i]->ResponseItems.empty()) {
      EXPECT_TRUE(a[i]->ResponseItems.SharedWith(b[i]->ResponseItems));
    }
  }

  // One engine's transaction under way.
  TRequestItem& busy = *Queued(first)[0];
  busy.Busy = true;
  busy.Step = 5;
  busy.Sequence = 7;
  busy.RetriesDone = 2;
  busy.RetryDue = true;
  busy.Timer.StartFor(100);
  TThreadObjectList third(true);
  parsed->AppendTo(third);
  for (const TRequestItem* idle : {b[0], Requests(third)[0], &parsed->Request(0)}) {
    EXPECT_FALSE(idle->Busy);
    EXPECT_EQ(idle->Step, 0);
    EXPECT_EQ(idle->Sequence, -1);
    EXPECT_EQ(idle->RetriesDone, 0);
    EXPECT_FALSE(idle->RetryDue);
    EXPECT_TRUE(idle->Timer.IsClear());
  }

  // The items outlive the reading and the other queues.
  parsed.reset();
  first.Clear();
  third.Clear();
  const std::vector<uint8_t> data = {0x01, 0x02, 0xFF, 0xFE, 0x05};
  auto decoded = [&data](const TRequestItem& request) {
    TzorParamsList list;
    DecodeResponseItems(request, data, protoSnp, 1, list);
    std::vector<std::string> values;
    for (int32_t i = 0; i < list.Count(); ++i)
      values.push_back(list.Items(i)->Name + "=" + TVariant(list.Items(i)->Value).ToText());
    return values;
  };
  const std::vector<std::string> shared = decoded(*b[0]);
  EXPECT_EQ(shared.size(), 4u + 2u + 3u) << "the address items, LEVEL1-2 and FLAG0-2";
  EXPECT_EQ(shared, decoded(*alone.Items[0]));

  // A request that changes its items gets a list of its own; the reading and the other queues
  // keep theirs.
  const TParsedRequests again(settings);
  TThreadObjectList fourth(true);
  TThreadObjectList fifth(true);
  again.AppendTo(fourth);
  again.AppendTo(fifth);
  TRequestItem& changed = *Queued(fourth)[0];
  const TRequestItem& kept = *Queued(fifth)[0];
  changed.ResponseItems[0]->Name = "OTHER";
  EXPECT_EQ(kept.ResponseItems[0]->Name, "LEVEL");
  EXPECT_EQ(again.Request(0).ResponseItems[0]->Name, "LEVEL");
  EXPECT_FALSE(changed.ResponseItems.SharedWith(kept.ResponseItems));
  EXPECT_EQ(decoded(kept), shared);
}

TEST(LoadRequestQueue, FreeStandingQueueIgnoresThePluginState) {
  TFakePlugin plugin;
  plugin.Unloaded = true;
  plugin.StateFlags[0] = plugin.StateFlags[1] = false;
  TDataSourceCfg settings(nullptr);
  settings.lblParams_Caption = Query("<Request/><Request/><Request/>");
  TThreadObjectList queue(true);
  LoadRequestQueue(&plugin, &settings, queue, nullptr);
  EXPECT_EQ(queue.Count(), 3);
  LoadRequestQueue(nullptr, &settings, queue, nullptr);
  EXPECT_EQ(queue.Count(), 3);
  LoadRequestQueue(&plugin, nullptr, queue, nullptr);
  EXPECT_EQ(queue.Count(), 0);
}

TEST(LoadRequestQueue, AbsentFieldsTakeTheReaderDefaults) {
  TBuilt built(Query("<Request/>"));
  ASSERT_EQ(built.Items.size(), 1u);
  const TRequestItem& r = *built.Items[0];
  EXPECT_EQ(r.Name, "Request #1");
  EXPECT_FALSE(r.Enabled);
  EXPECT_EQ(r.Address, "2");
  EXPECT_EQ(r.Memory, 1);
  EXPECT_EQ(r.Offset, 0);
  EXPECT_EQ(r.Size, 1);
  EXPECT_EQ(r.Timeout, 10000);
  EXPECT_FALSE(r.MethodPoll);
  EXPECT_EQ(r.PollInterval, 1000);
  EXPECT_TRUE(r.ResponseItems.empty());
  // Runtime fields start from their construction values.
  EXPECT_FALSE(r.Busy);
  EXPECT_EQ(r.Step, 0);
  EXPECT_EQ(r.Sequence, -1);
  EXPECT_EQ(r.HandshakeTimeout, 2000);
  EXPECT_TRUE(r.Timer.IsClear());

  TBuilt item(Query("<Request><Response><Value><Name>LEVEL</Name></Value></Response></Request>"));
  ASSERT_EQ(item.Items.size(), 1u);
  ASSERT_EQ(item.Items[0]->ResponseItems.size(), 1u);
  const TResponseItem& i = *item.Items[0]->ResponseItems[0];
  EXPECT_EQ(i.Name, "LEVEL");
  EXPECT_EQ(i.Offset, -1);
  EXPECT_EQ(i.Count, 1);
  EXPECT_EQ(i.DataType, dtD8);
  EXPECT_EQ(i.ByteSize, 1);
  EXPECT_EQ(i.DefaultValue, "0");
  EXPECT_EQ(i.Scale, 1.0L);
  EXPECT_TRUE(i.AppendCnt);
  EXPECT_TRUE(i.ZeroBaseCnt);
  EXPECT_TRUE(i.Swapped);
  EXPECT_TRUE(i.Unsigned);
  EXPECT_FALSE(i.LE);
  // The request has no Offset of its own, so it takes the first one below it.
  TBuilt borrowed(Query("<Request><Response><Item><Offset>7</Offset></Item></Response></Request>"));
  EXPECT_EQ(borrowed.Items[0]->Offset, 7);
}

TEST(LoadRequestQueue, FieldValueForms) {
  TBuilt built(Query(
      "<Request><Enabled>1</Enabled></Request>"
      "<Request><Enabled check=\"2\"></Enabled></Request>"
      "<Request><Enabled>true</Enabled></Request>"
      "<Request><Enabled check=\"3\"/></Request>"
      "<Request><Enabled check=\"4\"/></Request>"
      "<Request><Enabled check=\"9\"/></Request>"
      "<Request><Enabled/></Request>"
      "<Request><ENABLED>1</ENABLED><address></address><Offset></Offset><Size>x</Size><Memory>300</Memory>"
      "<MethodPoll check=\"2\"><PollInterval>5</PollInterval><PollUnits>M</PollUnits></MethodPoll></Request>"
      "<Request "
      "CAPTION=\"ignored\"><MethodPoll>1</MethodPoll><PollInterval>5</PollInterval><PollUnits>m</PollUnits>"
      "<Timeout>0x10</Timeout></Request>"
      "<anything caption=\"Named\"><PollInterval>2</PollInterval><PollUnits>H</PollUnits>"
      "<Response><Item><DataType>d16</DataType><Name></Name><Scale>0,001</Scale></Item>"
      "<Item><DataType>F64</DataType><Scale>0.001</Scale><Default></Default></Item>"
      "<Item><DataType>S</DataType><Scale>abc</Scale><LE check=\"2\"/><Unsigned check=\"0\"/>"
      "<Swapped>0</Swapped><AppendCnt check=\"0\"><ZeroBaseCnt check=\"0\"/></AppendCnt>"
      "<Count>$10</Count><Offset>-1</Offset><Default>n/a</Default></Item>"
      "<Item><DataType>BIT</DataType></Item><Item><DataType>D16 </DataType></Item></Response></anything>"));
  ASSERT_EQ(built.Items.size(), 10u);
  std::vector<bool> enabled;
  for (const TRequestItem* r : built.Items) enabled.push_back(r->Enabled);
  EXPECT_EQ(enabled, (std::vector<bool>{true, true, false, false, false, false, false, true, false, false}));

  const TRequestItem& r8 = *built.Items[7];
  EXPECT_EQ(r8.Name, "Request #8");
  EXPECT_EQ(r8.Address, "");  // present but empty
  EXPECT_EQ(r8.Offset, 0);
  EXPECT_EQ(r8.Size, 1);
  EXPECT_EQ(r8.Memory, 300 & 0xFF);
  EXPECT_TRUE(r8.MethodPoll);
  EXPECT_EQ(r8.PollInterval, 300000);

  const TRequestItem& r9 = *built.Items[8];
  EXPECT_EQ(r9.Name, "Request #9");
  EXPECT_TRUE(r9.MethodPoll);
  EXPECT_EQ(r9.PollInterval, 5);  // units compare case-sensitively
  EXPECT_EQ(r9.Timeout, 16);

  const TRequestItem& r10 = *built.Items[9];
  EXPECT_EQ(r10.Name, "Named");
  EXPECT_EQ(r10.PollInterval, 7200000);
  ASSERT_EQ(r10.ResponseItems.size(), 5u);
  const auto& items = r10.ResponseItems;
  EXPECT_EQ(items[0]->DataType, dtD8);
  EXPECT_EQ(items[0]->ByteSize, 1);
  EXPECT_EQ(items[0]->Name, "");
  EXPECT_NEAR(static_cast<double>(items[0]->Scale), 0.001, 1e-15);
  EXPECT_EQ(items[1]->DataType, dtF64);
  EXPECT_EQ(items[1]->ByteSize, 8);
  EXPECT_NEAR(static_cast<double>(items[1]->Scale), 0.001, 1e-15);
  EXPECT_EQ(items[1]->DefaultValue, "");
  EXPECT_EQ(items[2]->DataType, dtS);
  EXPECT_EQ(items[2]->ByteSize, 255);
  EXPECT_EQ(items[2]->Scale, 1.0L);
  EXPECT_TRUE(items[2]->LE);
  EXPECT_FALSE(items[2]->Unsigned);
  EXPECT_FALSE(items[2]->Swapped);
  EXPECT_FALSE(items[2]->AppendCnt);
  EXPECT_FALSE(items[2]->ZeroBaseCnt);
  EXPECT_EQ(items[2]->Count, 16);
  EXPECT_EQ(items[2]->Offset, -1);
  EXPECT_EQ(items[2]->DefaultValue, "n/a");
  EXPECT_EQ(items[3]->DataType, dtBIT);
  EXPECT_EQ(items[3]->ByteSize, 0);
  EXPECT_EQ(items[4]->DataType, dtD16);  // the reader trims text, so "D16 " is D16

  // Every data type name and its size; anything else is D8.
  const std::pair<const char*, int32_t> sizes[] = {{"D8", 1},  {"D16", 2}, {"D32", 4}, {"D64", 8},
                                                   {"F32", 4}, {"F64", 8}, {"S", 255}, {"BIT", 0}};
  for (int code = 0; code < DataTypeCount; ++code) {
    EXPECT_EQ(DataTypeCode(sizes[code].first), code);
    EXPECT_EQ(DataTypeName(static_cast<uint8_t>(code)), sizes[code].first);
    EXPECT_EQ(DataTypeByteSize(static_cast<uint8_t>(code)), sizes[code].second);
  }
  for (const char* name : {"", "bit", "s", "D 8", "F128", "D8 "}) EXPECT_EQ(DataTypeCode(name), dtD8) << name;
  TResponseItem item;
  item.SetDataType(200);
  EXPECT_EQ(item.DataType, dtD8);
  EXPECT_EQ(item.ByteSize, 1);
}

TEST(LoadRequestQueue, PollIntervalIsSaturated) {
  EXPECT_EQ(ApplyPollUnits(596, "H"), 2145600000);
  EXPECT_EQ(ApplyPollUnits(597, "H"), INT32_MAX);
  EXPECT_EQ(ApplyPollUnits(655350, "H"), INT32_MAX);
  EXPECT_EQ(ApplyPollUnits(35791, "M"), 2147460000);
  EXPECT_EQ(ApplyPollUnits(35792, "M"), INT32_MAX);
  EXPECT_EQ(ApplyPollUnits(2147484, "S"), INT32_MAX);
  EXPECT_EQ(ApplyPollUnits(INT32_MAX, "MS"), INT32_MAX);
  EXPECT_EQ(ApplyPollUnits(-1, "S"), -1000);
  EXPECT_EQ(ApplyPollUnits(-1000, "H"), INT32_MIN);
  EXPECT_EQ(ApplyPollUnits(7, ""), 7);
  EXPECT_EQ(ApplyPollUnits(7, "h"), 7);
  TBuilt built(Query("<Request><PollInterval>1000</PollInterval><PollUnits>H</PollUnits></Request>"));
  EXPECT_EQ(built.Items[0]->PollInterval, INT32_MAX);
}

TEST(LoadRequestQueue, SampleConfiguration) {
  auto text = platform::ReadWholeFile(KELDA_RESOURCES_DIR "/SampleConfig.xml");
  ASSERT_TRUE(text.has_value());
  TBuilt built(*text);
  ASSERT_EQ(built.Items.size(), 5u);

  const TRequestItem& tank = *built.Items[0];
  EXPECT_EQ(tank.Name, "Tank levels & pressures");
  EXPECT_TRUE(tank.Enabled);
  EXPECT_EQ(tank.Address, "2");
  EXPECT_EQ(tank.Memory, 8);
  EXPECT_EQ(tank.Offset, 0);
  EXPECT_EQ(tank.Size, 16);
  EXPECT_EQ(tank.Timeout, 3000);
  EXPECT_TRUE(tank.MethodPoll);
  EXPECT_EQ(tank.PollInterval, 5000);
  ASSERT_EQ(tank.ResponseItems.size(), 3u);
  const TResponseItem& level = *tank.ResponseItems[0];
  EXPECT_EQ(level.Name, "TANK_LEVEL");
  EXPECT_EQ(level.Count, 4);
  EXPECT_EQ(level.DataType, dtD16);
  EXPECT_TRUE(level.AppendCnt);
  EXPECT_FALSE(level.ZeroBaseCnt);
  EXPECT_FALSE(level.Swapped);
  EXPECT_NEAR(static_cast<double>(level.Scale), 0.1, 1e-15);
  const TResponseItem& pressure = *tank.ResponseItems[1];
  EXPECT_EQ(pressure.Offset, 8);
  EXPECT_EQ(pressure.DataType, dtF32);
  EXPECT_TRUE(pressure.LE);
  EXPECT_FALSE(pressure.Unsigned);
  EXPECT_EQ(pressure.DefaultValue, "-1.5");
  EXPECT_EQ(tank.ResponseItems[2]->DataType, dtD64);

  const TRequestItem& analog = *built.Items[1];
  EXPECT_EQ(analog.Offset, 16);
  EXPECT_EQ(analog.PollInterval, 500);
  EXPECT_EQ(analog.ResponseItems[1]->DataType, dtF64);
  EXPECT_EQ(built.Items[2]->PollInterval, 120000);
  EXPECT_EQ(built.Items[2]->Memory, 70);
  EXPECT_EQ(built.Items[2]->ResponseItems[0]->DataType, dtBIT);
  const TRequestItem& identity = *built.Items[3];
  EXPECT_FALSE(identity.MethodPoll);
  EXPECT_EQ(identity.PollInterval, 3600000);
  EXPECT_EQ(identity.Address, "PLC01");
  EXPECT_EQ(identity.ResponseItems[0]->DataType, dtS);
  EXPECT_EQ(identity.ResponseItems[0]->DefaultValue, "<unknown>");
  EXPECT_FALSE(built.Items[4]->Enabled);
  EXPECT_EQ(built.Items[4]->Memory, 129);
}

// Everything the loader takes from a request's text, in one line.
std::string Described(const TRequestItem& r) {
  std::string text = r.Name + "|" + std::to_string(r.Enabled) + "|" + r.Address + "|" +
                     std::to_string(r.Memory) + "|" + std::to_string(r.Offset) + "|" +
                     std::to_string(r.Size) + "|" + std::to_string(r.MethodPoll) + "|" +
                     std::to_string(r.PollInterval) + "|" + std::to_string(r.Timeout);
  for (const TResponseItem* item : r.ResponseItems)
    text += " [" + item->Name + "|" + std::to_string(item->Offset) + "|" + std::to_string(item->Count) + "|" +
            std::to_string(item->DataType) + "|" + item->DefaultValue + "|" +
            std::to_string(item->AppendCnt) + std::to_string(item->ZeroBaseCnt) +
            std::to_string(item->Swapped) + std::to_string(item->Unsigned) + std::to_string(item->LE) + "|" +
            std::to_string(static_cast<double>(item->Scale)) + "]";
  return text;
}

std::vector<std::string> Described(const TParsedRequests& parsed) {
  std::vector<std::string> all;
  for (int i = 0; i < parsed.Count(); ++i) all.push_back(Described(parsed.Request(i)));
  return all;
}

// A text cut off anywhere (a transfer that broke, a paste that lost its end) gives exactly the
// requests it holds whole, each read as from the whole text; the request it ends inside is left
// out and named, since what is missing of it (byte order, sign, even the memory type) would
// be read as defaults and give wrong values.
TEST(LoadRequestQueue, ATextCutOffAnywhereGivesOnlyTheRequestsItHoldsWhole) {
  const std::optional<std::string> whole = platform::ReadWholeFile(KELDA_RESOURCES_DIR "/SampleConfig.xml");
  ASSERT_TRUE(whole.has_value());
  TDataSourceCfg settings(nullptr);
  settings.lblParams_Caption = *whole;
  const TParsedRequests all(settings);
  ASSERT_EQ(all.Count(), 5);
  EXPECT_TRUE(all.CutOffRequest().empty());
  const std::vector<std::string> described = Described(all);
  std::vector<std::size_t> opened;  // just after each request's start tag
  std::vector<std::size_t> closed;  // just after each request's end tag
  for (std::size_t at = whole->find("<Request "); at != std::string::npos;
       at = whole->find("<Request ", at + 1))
    opened.push_back(whole->find('>', at) + 1);
  for (std::size_t at = whole->find("</Request>"); at != std::string::npos;
       at = whole->find("</Request>", at + 1))
    closed.push_back(at + 10);
  ASSERT_EQ(opened.size(), 5u);
  ASSERT_EQ(closed.size(), 5u);

  for (std::size_t length = 0; length <= whole->size(); ++length) {
    settings.lblParams_Caption = whole->substr(0, length);
    const TParsedRequests cut(settings);
    const auto whole_ones = static_cast<std::size_t>(
        std::count_if(closed.begin(), closed.end(), [length](std::size_t end) { return end <= length; }));
    const std::vector<std::string> expected(described.begin(), described.begin() + whole_ones);
    ASSERT_EQ(Described(cut), expected) << "cut after " << length << " bytes";
    const bool inside = whole_ones < opened.size() && length >= opened[whole_ones];
    ASSERT_EQ(cut.CutOffRequest(), inside ? all.Request(static_cast<int>(whole_ones)).Name : std::string())
        << "cut after " << length << " bytes";
  }

  // The queue of an engine gets the same requests.
  settings.lblParams_Caption = whole->substr(0, whole->find("<LE", opened[1]));
  TBuilt built(settings.lblParams_Caption);
  ASSERT_EQ(built.Items.size(), 1u);
  EXPECT_EQ(Described(*built.Items[0]), described[0]);
}

TEST(MemoryTypes, OptionListAndCcmTypes) {
  TTextResources texts(nullptr);
  std::string list = MemoryTypeList(texts);
  std::vector<std::string> entries = Split(list, "||");
  ASSERT_EQ(entries.size(), 13u);
  const std::vector<std::string> expected{"Registers (%R)==8",
                                          "Analog Inputs (%AI)==10",
                                          "Analog Outputs (%AQ)==12",
                                          "Discrete Inputs (%I)==70",
                                          "Discrete Outputs (%Q)==72",
                                          "Genius Global Data (%G) (SNPX only)==86",
                                          "Discrete Internals (%M) (SNPX only)==76",
                                          "Discretes (%S) (SNPX only)==84",
                                          "Discretes (%SA) (SNPX only)==78",
                                          "Discretes (%SB) (SNPX only)==80",
                                          "Discretes (%SC) (SNPX only)==82",
                                          "Scratch Pad (CCM only)==128",
                                          "Diagnostic Status Words (CCM only)==129"};
  EXPECT_EQ(entries, expected);

  // Captions and marks come from the text resources as they are at the time of the call.
  texts.MemDiscretesSA = "Merker";
  texts.MarkSnpxOnly = "(nur SNPX)";
  entries = Split(MemoryTypeList(texts), "||");
  EXPECT_EQ(entries[8], "Merker (%SA) (nur SNPX)==78");
  EXPECT_EQ(entries[7], "Discretes (%S) (nur SNPX)==84");
  EXPECT_EQ(entries[0], "Registers (%R)==8");

  for (int code = 0; code < 256; ++code) {
    uint8_t expectedType = 1;
    if (code == 10 || code == 16 || code == 70) expectedType = 2;
    if (code == 12 || code == 18 || code == 72) expectedType = 3;
    if (code == 128) expectedType = 6;
    if (code == 129) expectedType = 9;
    EXPECT_EQ(CcmMemoryType(static_cast<uint8_t>(code)), expectedType) << code;
  }
  // The table's own column, as GE's CCM numbers the tables: registers 1, inputs 2 (analog inputs
  // are read from the input table), outputs 3, scratch pad 6, status words 9; the SNP-X-only
  // tables fall back to registers.
  const std::map<std::string_view, uint8_t> ccmTypes{
      {"R", 1}, {"AI", 2}, {"AQ", 3}, {"I", 2},  {"Q", 3},          {"G", 1},          {"M", 1},
      {"S", 1}, {"SA", 1}, {"SB", 1}, {"SC", 1}, {"ScratchPad", 6}, {"StatusWords", 9}};
  for (const TMemoryType& type : MemoryTypes) EXPECT_EQ(type.CcmType, ccmTypes.at(type.Key)) << type.Key;
}

TEST(MemoryTypes, WireFieldsPerProtocol) {
  TRequestItem r;
  auto ccm = [&](const std::string& address, double local = 1) {
    r.Address = address;
    return CcmRequestFields(r, local);
  };
  EXPECT_EQ(ccm("17").Target, "11");
  EXPECT_EQ(ccm("1A").Target, "02");
  EXPECT_EQ(ccm("300").Target, "2C");
  EXPECT_EQ(ccm("").Target, "02");
  EXPECT_EQ(ccm("$11").Target, "02");  // decimal only
  EXPECT_EQ(ccm("0x11").Target, "02");
  EXPECT_EQ(ccm("99999999999").Target, "02");
  EXPECT_EQ(ccm("-1").Target, "FF");
  EXPECT_EQ(ccm("2", 1).Source, "01");
  EXPECT_EQ(ccm("2", 255.9).Source, "FF");
  EXPECT_EQ(ccm("2", 256).Source, "00");
  EXPECT_EQ(ccm("2", 0x1AB).Source, "AB");
  EXPECT_EQ(ccm("2", std::nan("")).Source, "00");

  r.Memory = 70;
  r.Offset = 0x10;
  r.Size = 300;
  TCcmRequestFields f = CcmRequestFields(r, 1);
  EXPECT_EQ(f.Memory, "02");
  EXPECT_EQ(f.Address, "0010");
  EXPECT_EQ(f.Length, "012C");  // one full 256-byte block and 44 bytes
  r.Memory = 86;                // an SNP-X only type is sent to CCM as registers
  r.Offset = 70000;
  r.Size = 0;
  f = CcmRequestFields(r, 1);
  EXPECT_EQ(f.Memory, "01");
  EXPECT_EQ(f.Address, "11170");
  EXPECT_EQ(f.Length, "0000");
  EXPECT_EQ(HexDigits(0xABCDEF, 4), "ABCDEF");
  EXPECT_EQ(HexDigits(0, 2), "00");

  auto snp = [&](const std::string& address) {
    r.Address = address;
    return SnpRequestFields(r).SnpId;
  };
  EXPECT_EQ(snp("ABCDEFGHIJ"), (std::array<uint8_t, 8>{'A', 'B', 'C', 'D', 'E', 'F', 'G', 0}));
  EXPECT_EQ(snp("2"), (std::array<uint8_t, 8>{'2', 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(snp(""), (std::array<uint8_t, 8>{}));
  r.Memory = 129;  // a CCM-only code goes to SNP as it is
  r.Offset = 0x12345;
  r.Size = 300;
  TSnpRequestFields s = SnpRequestFields(r);
  EXPECT_EQ(s.Memory, 0x81);
  EXPECT_EQ(s.Address, (std::array<uint8_t, 2>{0x45, 0x23}));
  EXPECT_EQ(s.Length, (std::array<uint8_t, 2>{0x2C, 0x01}));
}
