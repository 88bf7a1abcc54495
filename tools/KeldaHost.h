// The host harness: loads the plug-in library by file name exactly as the data-logging host
// does (never links it), finds its entry points by name, offers the host callbacks
// (DataLogger_SendDataEx and the other four) as exports of its own program, owns a message
// window that answers the log notification (message 1809) with GetLogEx, and passes
// parameter lists in interface form.
//
// It also plays the serial ports: a data source can be given a line to a simulated GE PLC
// (TSimulatedLine); the module's writes for that data source go to the PLC, and the host's
// message loop (RunUntil, RunFor) hands the PLC's answers to ProcessData in small pieces and
// keeps the rows the module delivers. A line may instead hand the answers back from inside the
// send, as a host whose port write completes the exchange before it returns (TAnswers).
//
// One TKeldaHost per program at a time; its calls and its window belong to the thread that
// made it (the harness dispatches the window's messages in PumpMessages and after every call).
// The module's timers tick in the thread that ran SET-STATE, while that thread runs the loop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "Plugins/zorPluginModule.h"
#include "platform/HostMessage.h"
#include "platform/Module.h"
#include "tools/KeldaLine.h"

namespace kelda::host {

// A name and a value for a parameter list.
using TParam = std::pair<std::string, TVariant>;
using TParams = std::vector<TParam>;

TParam Param(const std::string& name, const std::string& text);
TParam Param(const std::string& name, int32_t value);
TParam ParamNull(const std::string& name);

// One request the module made through DataLogger_SendDataEx.
struct TSentData {
  int32_t ModuleIndex = 0;
  int32_t DataSourceId = 0;
  int32_t Arg3 = 0;
  int32_t Arg4 = 0;
  int32_t Code = 0;
  std::string Bytes;
};

struct TModuleInfoResult {
  bool SizeCallResult = false;  // the first call, without a buffer
  uint32_t RequiredSize = 0;
  bool FillCallResult = false;  // the second call, with a buffer of the required size
  uint32_t ModuleKind = 0;
  uint32_t InterfaceVersionNumber = 0;
  float InterfaceVersion = 0;
  uint8_t InfoKind = 0;
  std::string Description;     // UTF-8
  std::string CustomCommands;  // UTF-8
};

struct TCommandResult {
  int32_t Code = 0;
  TVariant Result;        // the "RESULT" item after the call
  TPluginCallRec Record;  // the record as the call left it
};

// One row of a delivered packet list: the items up to a row marker.
using TRow = std::vector<std::pair<std::string, std::string>>;

struct TDataResult {
  int32_t Code = 0;
  std::string PacketText;  // DataIn's module buffer, when the module made one
  uint8_t DataInKind = 0;
  uintptr_t DataInValue = 0;
  int32_t PacketCount = 0;  // DataOut.Count
  std::vector<TRow> Rows;
  int32_t RowMarkers = 0;
};

// A log line as the host receives it: the level byte taken apart from the text.
struct TLogLine {
  int Level = 0;
  bool Mark = false;
  std::string Text;
};

class TKeldaHost {
public:
  explicit TKeldaHost(const std::string& libraryPath);  // throws Exception when it cannot load
  ~TKeldaHost();
  TKeldaHost(const TKeldaHost&) = delete;
  TKeldaHost& operator=(const TKeldaHost&) = delete;

  platform::ModuleHandle Library() const { return FLibrary; }
  platform::ModuleHandle Program() const { return platform::HostProgramHandle(); }
  platform::WindowHandle Window() const { return FWindow->Handle(); }
  static TKeldaHost* Current();

  // The entry points, as found by name.
  int32_t(KELDA_STDCALL* CreatePluginInstance)(TPluginCallRec*) = nullptr;
  int32_t(KELDA_STDCALL* FreePluginInstance)(TPluginCallRec*) = nullptr;
  uint8_t(KELDA_STDCALL* GetModuleInfo)(TPluginCallRec*, TPluginModuleInfo*, uint32_t*) = nullptr;
  int32_t(KELDA_STDCALL* ExecutePluginCommand)(TPluginCallRec*) = nullptr;
  int32_t(KELDA_STDCALL* ProcessData)(TPluginCallRec*) = nullptr;
  int32_t(KELDA_STDCALL* GetLogEx)(TPluginCallRec*) = nullptr;

  // A zeroed record of the right size for an instance.
  static TPluginCallRec NewRecord(uintptr_t instance, int32_t hostIndex = 0);

  // Creates an instance; hostIndex is the number the host gives it (its log notifications
  // carry it). Returns the handle, 0 when creation failed.
  uintptr_t Create(int32_t hostIndex = 1, int32_t* result = nullptr);
  int32_t Free(uintptr_t instance);
  int32_t Shutdown();  // FreePluginInstance with the shutdown marker

  TModuleInfoResult ModuleInfo(uintptr_t instance);

  // Runs a command: a new list with "COMMAND" = word, the params, and (withResult) an empty
  // "RESULT" item, handed over in interface form.
  TCommandResult Command(uintptr_t instance, const std::string& word, const TParams& params = {},
                         bool withResult = true, uint8_t flags = 0);
  // The parameters of a first LOAD as the host passes them: this program's module handle and
  // name, and the message window.
  TParams LoadParams(const TParams& extra = {}) const;

  // A data call with bytes read from a port (handed in with kind 0, flag 0x02 added), packets
  // collected from a list offered in DataOut in interface form.
  TDataResult Data(uintptr_t instance, int32_t dataSourceId, uint8_t flags, const std::string& bytes);

  // Fetches the log as the host does: GetLogEx, and again with a buffer of the size it named.
  std::vector<TLogLine> FetchLog(uintptr_t instance);

  // Dispatches the window's waiting messages (each log notification fetches that instance's log
  // into Received()); returns how many.
  int PumpMessages();
  std::vector<TLogLine> Received();  // and forgets them
  int Notifications() const { return FNotifications; }

  // A host whose message queue is full: posting the log notification fails, and the module
  // sends it instead, which runs the handler at once in a thread of the host's window.
  void RefusePosts(bool refuse) { FRefusePosts = refuse; }
  bool PostsRefused() const { return FRefusePosts.load(); }
  // Runs inside the handler of each log notification, before the log is fetched: a host that
  // answers the notification with a call into the module.
  std::function<void(uintptr_t instance)> OnLogNotification;

  std::vector<TSentData> Sent();  // and forgets them
  void SetSendResult(int32_t result);
  int SendCount() const;  // every DataLogger_SendDataEx call so far, to lines or not

  // --- serial lines
  // Who hands the PLC's answers to ProcessData, and when.
  enum class TAnswers : uint8_t {
    // The host's message loop reads the line and makes the data calls (RunUntil, RunFor), after
    // the send has returned.
    ReadByLoop,
    // The send itself: DataLogger_SendDataEx writes to the PLC and then, in the sending thread,
    // hands what the PLC has sent by now to ProcessData before it returns.
    HandedBackInSend,
    // A reader thread of the line's own: DataLogger_SendDataEx writes to the PLC, wakes the
    // reader and returns once the reader's data calls with what the PLC has sent by now have
    // returned. A write made in the reader thread itself (from inside its data call) hands back
    // in that thread instead of waiting for itself.
    HandedBackByReader,
  };
  // In both hand-back modes the message loop never reads the line: everything reaches the
  // module through the sends (an answer that falls due later, a late one, goes with the next
  // write). Data calls made inside a send dispatch no messages, as a port write does not run
  // the host's message loop; their rows are kept like the loop's.
  struct TLineOptions {
    plcsim::Mode Mode = plcsim::Mode::Snp;
    std::string SnpId = "PLC1";
    uint8_t CcmId = 2;
    std::size_t MaxChunk = 7;  // the port hands over 1..MaxChunk bytes at a time
    uint32_t Seed = 1;
    TAnswers Answers = TAnswers::ReadByLoop;
  };
  // From now on the module's writes for this data source of the instance go to the line's PLC.
  TSimulatedLine& AttachLine(uintptr_t instance, int32_t dataSourceId, const TLineOptions& options);
  // The port is gone: its writes are refused (a negative result) and nothing is read from it.
  void DetachLine(uintptr_t instance, int32_t dataSourceId);
  TSimulatedLine* Line(uintptr_t instance, int32_t dataSourceId);  // nullptr when none

  // A line the caller serves itself (a real serial port, say): from now on the module's writes
  // for this data source of the instance go to sink, outside the host's lock, and its result
  // is the write's result (the bytes taken, or negative when the port refused). The caller
  // reads the line and makes the data calls.
  using TWriteSink = std::function<int32_t(const std::string& bytes)>;
  void RouteWrites(uintptr_t instance, int32_t dataSourceId, TWriteSink sink);

  // The host's message loop: dispatches messages (the module's timers tick here) and hands
  // what the lines read to ProcessData, until done() is true or timeoutMs passed; returns done().
  bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs);
  void RunFor(uint32_t ms);
  // Rows the data calls of a line delivered so far (TakeRows forgets them).
  std::size_t RowCount(uintptr_t instance, int32_t dataSourceId);
  std::vector<TRow> TakeRows(uintptr_t instance, int32_t dataSourceId);
  int RefusedDataCalls() const { return FRefusedDataCalls; }  // line data calls answered < 0
  // Sends that stopped waiting for their line's reader thread (it did not finish in 10 s).
  int AbandonedHandBacks() const { return FAbandonedHandBacks; }
  static uint64_t Now();  // the host's clock, ms

  // Called by the exported callbacks.
  int32_t OnSendDataEx(const TSentData& sent);

private:
  intptr_t HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
  int32_t HostIndexOf(uintptr_t instance) const;
  int ServeLines();  // data calls made

  using TLineKey = std::pair<int32_t, int32_t>;  // host index, data source
  // A line's reader thread (TAnswers::HandedBackByReader); its fields are guarded by FSentLock.
  struct TLineReader {
    std::thread Thread;
    std::thread::id Id;
    std::condition_variable Wake;  // a write asks for a hand-back, or the reader is to stop
    std::condition_variable Done;  // a hand-back finished
    uint64_t Asked = 0;            // hand-backs asked for so far
    uint64_t Served = 0;           // hand-backs finished so far
    bool Stop = false;
  };
  struct TLineEntry {
    uintptr_t Instance = 0;
    std::unique_ptr<TSimulatedLine> Line;
    bool Attached = true;
    TAnswers Answers = TAnswers::ReadByLoop;
    std::shared_ptr<TLineReader> Reader;
    std::vector<TRow> Rows;
  };

  // A data call with port bytes that dispatches no messages.
  TDataResult CallProcessData(uintptr_t instance, int32_t hostIndex, int32_t dataSourceId, uint8_t flags,
                              const std::string& bytes);
  // Makes the data calls for pieces a line read and keeps their rows. Called without FSentLock.
  void HandBack(const TLineKey& key, uintptr_t instance, const std::vector<std::string>& pieces);
  void KeepRows(const TLineKey& key, TDataResult& result);  // takes FSentLock
  // What a line read at a write of a hand-back mode, handed to ProcessData before the write
  // returns; `lock` holds FSentLock on entry and is released on return.
  void HandBackAfterWrite(const TLineKey& key, std::unique_lock<std::mutex>& lock);
  void RunReader(TLineKey key, std::shared_ptr<TLineReader> reader);
  void StopReader(const std::shared_ptr<TLineReader>& reader);

  platform::ModuleHandle FLibrary = 0;
  std::unique_ptr<platform::THostWindow> FWindow;
  std::map<int32_t, uintptr_t> FInstancesByIndex;
  std::vector<TLogLine> FReceived;
  int FNotifications = 0;
  mutable std::mutex FSentLock;
  std::vector<TSentData> FSent;
  int32_t FSendResult = 0;
  int FSendCount = 0;
  std::map<TLineKey, TLineEntry> FLines;  // guarded by FSentLock
  std::map<TLineKey, TWriteSink> FSinks;  // guarded by FSentLock
  std::atomic<int> FRefusedDataCalls{0};
  std::atomic<bool> FRefusePosts{false};
  std::atomic<int> FAbandonedHandBacks{0};
};

std::vector<TLogLine> ParseLogText(const std::string& text);

// Whether a row's item is one of the packet fields every row carries (time stamp, data source,
// the raw packet) rather than a decoded value.
bool IsStandardField(const std::string& name);

}  // namespace kelda::host
