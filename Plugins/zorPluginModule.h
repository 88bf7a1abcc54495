// The plug-in framework: the call record that every export works on, the plug-in instance
// TzorPlugin with its commands, data path, module log and module parameters, the registry of
// live instances, and the library's entry points (which module/kelda.cpp exports).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Common/Component.h"
#include "Common/Thread_ObjectList.h"
#include "Common/Thread_StringList.h"
#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "Plugins/zorPluginCustomCmd.h"
#include "config/ProxyCodeCustom.h"
#include "platform/Boundary.h"
#include "platform/MessageWindow.h"
#include "platform/Module.h"
#include "platform/Sync.h"

namespace kelda {

// ---------------------------------------------------------------------------------------------
// The call record and its data blocks, exactly as the host lays them out.

#pragma pack(push, 1)

struct TPluginCallData {
  int32_t Count;    // the module adds 1 to DataOut.Count for every packet it delivers
  int32_t Size;     // bytes in Value's buffer, or the capacity of a buffer the host offers
  uint8_t Kind;     // what Value holds (kDataKind...)
  uintptr_t Value;  // pointer or integer
};

struct TPluginCallRec {
  int32_t Size;          // kCallRecSize for data calls and commands
  uint8_t CallFlags;     // kCallFlagInterface while the module holds the list as an interface
  uintptr_t Instance;    // the handle CreatePluginInstance returned; 0 before
  int32_t HostIndex;     // the host's number for this instance
  int32_t DataSourceId;  // the data source a data call concerns
  uint32_t Reserved17;
  uint8_t Flags;  // meaning depends on the call
  void* Params;   // a TzorParamsList object or the address of an IzorParamsListA variable
  TPluginCallData DataIn;
  TPluginCallData DataOut;
  uint8_t Reserved52[48];
  uint16_t Reserved100;
};

// The module information buffer's header; the texts follow at offset 33.
struct TPluginModuleInfo {
  uint32_t BufferSize;              // set by the caller; kept
  uint32_t ModuleKind;              // low word: ModuleType; high word: bits 0..2 of ModuleOptions
  uint32_t InterfaceVersionNumber;  // low word 4, high word 0
  float InterfaceVersion;           // 4.0
  uint8_t InfoKind;
  uint32_t DescriptionLength;
  uintptr_t DescriptionAddress;
  uint32_t CustomCommandsLength;
  uintptr_t CustomCommandsAddress;
};

#pragma pack(pop)

static_assert(sizeof(void*) == 4, "the boundary records are laid out for 32-bit x86");
static_assert(sizeof(TPluginCallData) == 13);
static_assert(offsetof(TPluginCallData, Count) == 0);
static_assert(offsetof(TPluginCallData, Size) == 4);
static_assert(offsetof(TPluginCallData, Kind) == 8);
static_assert(offsetof(TPluginCallData, Value) == 9);
static_assert(sizeof(TPluginCallRec) == 102);
static_assert(offsetof(TPluginCallRec, Size) == 0);
static_assert(offsetof(TPluginCallRec, CallFlags) == 4);
static_assert(offsetof(TPluginCallRec, Instance) == 5);
static_assert(offsetof(TPluginCallRec, HostIndex) == 9);
static_assert(offsetof(TPluginCallRec, DataSourceId) == 13);
static_assert(offsetof(TPluginCallRec, Reserved17) == 17);
static_assert(offsetof(TPluginCallRec, Flags) == 21);
static_assert(offsetof(TPluginCallRec, Params) == 22);
static_assert(offsetof(TPluginCallRec, DataIn) == 26);
static_assert(offsetof(TPluginCallRec, DataOut) == 39);
static_assert(offsetof(TPluginCallRec, Reserved52) == 52);
static_assert(offsetof(TPluginCallRec, Reserved100) == 100);
static_assert(sizeof(TPluginModuleInfo) == 33);
static_assert(offsetof(TPluginModuleInfo, ModuleKind) == 4);
static_assert(offsetof(TPluginModuleInfo, InterfaceVersionNumber) == 8);
static_assert(offsetof(TPluginModuleInfo, InterfaceVersion) == 12);
static_assert(offsetof(TPluginModuleInfo, InfoKind) == 16);
static_assert(offsetof(TPluginModuleInfo, DescriptionLength) == 17);
static_assert(offsetof(TPluginModuleInfo, DescriptionAddress) == 21);
static_assert(offsetof(TPluginModuleInfo, CustomCommandsLength) == 25);
static_assert(offsetof(TPluginModuleInfo, CustomCommandsAddress) == 29);

constexpr int32_t kCallRecSize = 102;
constexpr uint8_t kCallFlagInterface = 0x40;
constexpr uint32_t kModuleInfoHeaderSize = 33;

constexpr uint8_t kDataKindList = 1;          // a TzorParamsList object
constexpr uint8_t kDataKindBytesWritten = 2;  // bytes written into a host buffer
constexpr uint8_t kDataKindModuleBuffer = 4;  // a byte buffer the module allocated
constexpr uint8_t kDataKindInteger = 5;
constexpr uint8_t kDataKindMarker = 6;
constexpr uint8_t kDataKindListObject = 8;     // a TzorParamsList object, always
constexpr uint8_t kDataKindListInterface = 9;  // the address of an IzorParamsListW variable
constexpr uintptr_t kShutdownMarker = 0xFF01;

// Flags of a data call.
constexpr uint8_t kDataFlagKeepEmptyList = 0x01;
constexpr uint8_t kDataFlagPortBytes = 0x02;
constexpr uint8_t kDataFlagWrite = 0x04;
constexpr uint8_t kDataFlagWriteReport = 0x08;
constexpr uint8_t kDataFlagEcho = 0x20;

// Result codes of commands and data calls.
constexpr int kResultDone = 0;
constexpr int kResultRefused = -1;
constexpr int kResultNotHandled = -2;
constexpr int kResultFailed = -3;

// The window message that tells the host that log lines are waiting.
constexpr uint32_t kLogNotifyMessage = 1809;

// The window message that asks the host to have an instance reload its settings on the
// instance's own thread (first parameter: the instance's ModuleIndex).
constexpr uint32_t kReloadSettingsMessage = 1812;

// Packet texts delivered in one data call are joined by this separator.
inline constexpr char kPacketSeparator[] = "<{[::]}>";

// Buffers of kind 4 that the module hands to the host live in the system's process heap
// (HeapAlloc on GetProcessHeap on Windows, malloc on POSIX): the host frees them with
// HeapFree(GetProcessHeap(), 0, p) (free on POSIX). A kind-4 buffer the host hands in must
// come from the same heap, because the module enlarges it in place.
void* AllocPluginBuffer(std::size_t size);
void* ReallocPluginBuffer(void* buffer, std::size_t size);
void FreePluginBuffer(void* buffer);

// ---------------------------------------------------------------------------------------------
// The call record as the module works on it during one call: the caller's record (outputs go
// there), the record as the call found it, and the parameter list and data blocks as interfaces.
// Construction converts, destruction restores the caller's CallFlags and Params and releases
// the interfaces.
class TPluginCallRecIntft {
public:
  explicit TPluginCallRecIntft(TPluginCallRec* record);
  ~TPluginCallRecIntft();
  TPluginCallRecIntft(const TPluginCallRecIntft&) = delete;
  TPluginCallRecIntft& operator=(const TPluginCallRecIntft&) = delete;

  TPluginCallRec* Rec;                // the caller's record
  TPluginCallRec Saved;               // the 102 bytes as the call found them
  IzorParamsListA* Params = nullptr;  // counted; none when the record has no list
  bool ParamsReplaced = false;
  IzorParamsListW* DataInList = nullptr;  // counted; the list a block of kind 1/8/9 holds
  IzorParamsListW* DataOutList = nullptr;

  // Reading and answering through the parameter list. A missing list reads as empty.
  bool Has(const char* name) const;
  TVariant Value(const char* name) const;                 // empty when absent
  std::string Text(const char* name) const;               // "" when absent, empty or null
  bool SetValue(const char* name, const VARIANT& value);  // only an item that exists

private:
  IzorParamsListW* ConvertBlock(TPluginCallData& block, IzorParamsListW*& reference);
  void RestoreBlock(TPluginCallData& block, const TPluginCallData& saved, IzorParamsListW* const& reference);

  IzorParamsListA* FParamsReference = nullptr;  // the variable the caller's Params points at
  IzorParamsListW* FDataInReference = nullptr;
  IzorParamsListW* FDataOutReference = nullptr;
};

// ---------------------------------------------------------------------------------------------
// The module log: one line per entry, the entry's object slot counting how many more times the
// same line arrived right after it.
class TLogDataList : public TThreadStringList {
public:
  explicit TLogDataList(int maxLines) : MaxLines(maxLines) {}

  // Appends a line, folding an exact repeat of the last line into its count and trimming the
  // oldest lines beyond MaxLines (unless KeepAll is above 0).
  void AddLine(const std::string& line);
  // Hands the lines to the host: each followed by CR LF, the last line's repeats folded in.
  // length := the text's length in bytes. A capacity of 0 discards the lines; a buffer large
  // enough receives them and the log is emptied (the result is the length); otherwise the
  // lines stay and the result is 0.
  int32_t HandOver(void* buffer, int32_t capacity, uint32_t& length);

  int MaxLines;
  std::atomic<int> KeepAll{0};

private:
  static int RepeatCount(const TStringList& list, int index);
  static void SetRepeatCount(TStringList& list, int index, int count);
  static void FoldRepeats(TStringList& list, int index);
};

// ---------------------------------------------------------------------------------------------
// Parser items: the named values the module's packets can contain.

// Kept inside the module only, so laid out as C++ likes (its strings cannot be packed).
struct TParserItem {
  std::string Name;
  std::string Description;
  uint8_t Type = 17;  // index into ParserItemTypeNames; 17: no type
  std::string Extra;
};

constexpr uint8_t kParserItemNoType = 17;
// "String|Memo|Bytes|...|Currency|" split at "|": index 0 to 17 (17 is the empty name).
const std::vector<std::string>& ParserItemTypeNames();
uint8_t ParserItemTypeFromName(const std::string& name);  // any case; 17 when unknown

// ---------------------------------------------------------------------------------------------
// One data source of the host's configuration.
class TConfigDataSource : public TObject {
public:
  std::string Text;  // the whole configuration line
  int32_t Id = 0;
  std::string Name;
  std::string FullName;
};

// ---------------------------------------------------------------------------------------------
// The translator: a later unit implements it. An instance without one skips translation.
class IzorTranslator {
public:
  virtual ~IzorTranslator() = default;
  virtual void SetLanguageFiles(const std::string& files) = 0;  // file names joined by "|"
  virtual void SetLanguage(const std::string& code) = 0;
  virtual bool HasLanguageFile() const = 0;
  // The language that a language file names, or "" when it names none.
  virtual std::string LanguageOfFile(const std::string& path) = 0;
  virtual void AddComponentProperty(const std::string& name) = 0;
  virtual std::vector<std::string> ComponentProperties() const = 0;
  virtual void TranslateComponent(TComponent* root, const std::string& language) = 0;
};

class TzorPlugin;
using TTranslatorFactory = std::unique_ptr<IzorTranslator> (*)(TzorPlugin* plugin);
TTranslatorFactory SetTranslatorFactory(TTranslatorFactory factory);  // returns the previous one

// ---------------------------------------------------------------------------------------------
// Host callbacks, found by name in the host program's module.
using TDataLoggerSendDataEx = int32_t(KELDA_STDCALL*)(int32_t moduleIndex, int32_t dataSourceId,
                                                      int32_t zero1, int32_t zero2, int32_t code,
                                                      const void* data, int32_t count);
constexpr int32_t kSendDataCode = 129;

// ---------------------------------------------------------------------------------------------
// The plug-in instance.

using TPluginRecEvent = std::function<void(TzorPlugin* sender, TPluginCallRecIntft& record, int& result)>;
using TPluginNotifyEvent = std::function<void(TzorPlugin* sender)>;
using TPluginStateEvent = std::function<void(TzorPlugin* sender, uint8_t flags)>;
using TPluginWordEvent = std::function<void(TzorPlugin* sender, const std::string& word, int& result,
                                            TPluginCallRecIntft& record)>;

// Publishes MsgNoData, MsgWriteComplete and MsgWriteCompleteError, the texts the translator
// translates; they are written under InstanceLock, because data calls read them concurrently.
class TzorPlugin : public TComponent, public IPublishedProperties {
public:
  // record: the converted record of CreatePluginInstance (or none); dllHandle 0 is this library.
  TzorPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle);
  ~TzorPlugin() override;

  const TPropertyTable& PublishedProperties() const override;

  // Runs once the instance is fully built: translates it when a language file is present.
  virtual void AfterConstruction();

  // --- commands
  // Runs one command word under CommandLock; answers its result code.
  int RunCommand(const std::string& word, TPluginCallRecIntft& record);

  // --- data path
  int RunDataCall(TPluginCallRec* record);
  void AddParserItem(const std::string& name, const std::string& description, const std::string& extra,
                     uint8_t type);
  void SetParserItem(int index, const TParserItem& item);
  int ParserItemCount() const { return static_cast<int>(ParserItems.size()); }
  void ClearParserItems() { ParserItems.clear(); }
  void AddStandardParserItems(bool withClientId);
  std::string ParserItemsText() const;
  void SetParserItemsText(const std::string& text, bool replace);
  int AddStandardFields(TzorParamsList* list, const std::string* fullPacket, const std::string& clientName,
                        const std::string& fullName, const std::string& name, int32_t clientId,
                        int32_t dataSourceId, const std::string* dataPacket);
  void SendParsedData(TPluginCallRecIntft& record, TParsedDataList* parsed, bool append);

  // --- host callbacks
  // Asks the host to write bytes to the port of a data source; -1 when the host offers no
  // send function.
  int32_t SendDataToHost(int32_t dataSourceId, const void* data, int32_t count);

  // --- log
  // Appends the line and tells the host (message 1809), unless the calling thread holds a lock
  // of this instance (THostCallsDeferred): then the host is told once the lock is released.
  void AddLog(int level, const std::string& message, bool mark = false);
  // Logs a failure at level 0 as "{context} message" and writes it to the debug output.
  void LogFailure(const std::string& context, const std::string& message);

  // --- module parameters
  // Description, LogTitle and the custom commands change through "SET-MODULE-PARAMETER" while
  // the host reads the module information and other threads log: read them through these (a
  // module's class sets the fields directly only while it is built).
  std::string DescriptionText() const;
  std::string LogTitleText() const;
  std::string CustomCommandsText() const;
  TVariant GetModuleParameter(const std::string& name);
  bool SetModuleParameter(const std::string& name, const VARIANT& value);

  // --- options dialog
  // ShowOptionsDialog on this instance, under CommandLock: takes the call's INI file,
  // language and owner window, raises OnShowOptionsDialog (its result starts at 0, false; any
  // other value answers true) and answers the handler's result, false when the handler raised
  // a failure (logged at level 0 as the message and " {SHOWOPTIONS}").
  bool RunShowOptionsDialog(TPluginCallRec* callRecord);
  // The load-settings-now path: raises OnLoadSettingsNow under CommandLock, like the
  // "LOAD-SETTINGS-NOW" command; false when nothing ran (no handler, or called from inside a
  // command of this instance).
  bool ReloadSettingsNow();

  // Where and by whom the instance was loaded, read safely from any thread.
  struct TLoadLocation {
    std::string RegistryPath;
    uint32_t ThreadId = 0;
    int32_t ModuleIndex = 0;
  };
  TLoadLocation LoadLocation() const;

  // Holds back the host's log notifications of the calling thread while it holds a lock of the
  // instance; the outermost one tells the host, once, after the lock it guarded is released
  // (declare it before the lock's guard). The host may answer the notification at once, in the
  // same thread (a sent message), with any call into the module.
  class THostCallsDeferred {
  public:
    explicit THostCallsDeferred(TzorPlugin& plugin);
    ~THostCallsDeferred();
    THostCallsDeferred(const THostCallsDeferred&) = delete;
    THostCallsDeferred& operator=(const THostCallsDeferred&) = delete;

  private:
    TzorPlugin& FPlugin;
  };

  void LockInstance() { InstanceLock.BeginWrite(); }
  void UnlockInstance() { InstanceLock.EndWrite(); }

  // Reference counting of the registry: the registry holds one reference, every export call
  // that found the instance one more; the last release frees the instance.
  void AddUse() { FUses.fetch_add(1); }
  // A reference for work the instance started itself (a tick of one of its engines): none once
  // the last reference is gone and the instance is being freed.
  bool TryAddUse();
  void ReleaseUse();

  // Fields, in the order the framework keeps them.
  std::unique_ptr<IzorTranslator> Translator;
  platform::TMultiReadExclusiveWriteSynchronizer InstanceLock;
  platform::TCriticalSection CommandLock;
  std::atomic<int32_t> CommandDepth{0};
  uintptr_t SelfHandle = 0;
  platform::ModuleHandle DllHandle = 0;
  std::atomic<int32_t> LoadCount{0};
  int32_t ModuleIndex = 0;
  std::string LastItemsText;
  std::string Description;
  std::string LogTitle;
  uint8_t ModuleType = 0;
  uint8_t ModuleOptions = 0;
  uint8_t InfoKind = 1;
  std::string ModulePath;
  std::string ModuleName;
  int32_t ModuleLoadForConfig = 0;
  std::string ApplicationFullName;
  std::string DisplayFullVersion;
  std::vector<TParserItem> ParserItems;
  std::unique_ptr<TzorPluginCustomCmdList> CustomCommands;
  std::string MsgNoData = "No data for processing";
  std::string MsgWriteComplete = "Data have been processed successfully";
  std::string MsgWriteCompleteError = "Data have been processed with errors";
  float InterfaceVersion = 4.0f;
  std::string INIFile;
  uint8_t ModuleRegistryRoot1 = 2;
  uint8_t ModuleRegistryRoot2 = 1;
  std::string ModuleRegistryPath;
  std::string INISectionPrefix;
  uint8_t StateFlags[8] = {};
  std::string EventsSupported;
  bool IsTemporaryLoad = false;
  std::atomic<bool> SettingsBusy{false};
  // An instance without any settings location says so once, not at every settings load; set
  // while that line stands, cleared when a location appears.
  std::atomic<bool> NoSettingsLocationLogged{false};
  std::atomic<bool> TerminateNow{false};
  TObjectList ConfigDataSources{true};
  std::string DataSourceLoadFor;

  TPluginRecEvent OnShowOptionsDialog;
  TPluginRecEvent OnGetOptionsDialog;
  TPluginWordEvent OnCommand;
  TPluginRecEvent OnLoad;
  TPluginRecEvent OnUnload;
  TPluginNotifyEvent OnSaveSettingsNow;
  TPluginNotifyEvent OnLoadSettingsNow;
  TPluginNotifyEvent OnBeforeGetParserItems;
  TPluginNotifyEvent OnItemsSet;
  TPluginStateEvent OnChangeState;
  TPluginRecEvent OnProcessData;
  TPluginWordEvent OnEvent;
  TPluginNotifyEvent OnLanguageChanged;

  platform::WindowHandle OwnerForm = 0;
  std::atomic<platform::WindowHandle> MsgProcHandle{0};
  platform::ModuleHandle ParentApp = 0;
  bool SubscribeForData = false;
  bool Translated = false;
  std::atomic<bool> OptionsDialogOpen{false};
  uint32_t LoadThreadId = 0;
  std::string Language = "EN";

  void* DataLogger_SendNotify = nullptr;
  TDataLoggerSendDataEx DataLogger_SendDataEx = nullptr;
  void* DataLogger_DataSourceData = nullptr;
  void* DataLogger_DataSourceState = nullptr;
  void* DataLogger_ManageDynForm = nullptr;

  // Data calls in progress (a count, so that two overlapping calls do not clear each other's
  // mark); ProcessBusy reads true while any runs.
  bool ProcessBusy() const { return FProcessCalls.load() > 0; }
  TLogDataList* Log() const { return FLog.get(); }
  TzorThreadParamsList* CustomParams();  // made on first use
  const TConfigDataSource* FindDataSource(int32_t id) const;

  // The folders derived from the settings location.
  std::string AppDataPath() const;
  std::string ModuleConfigId() const;
  std::string ModuleDataPath() const;

  // Waits while a data call runs on a terminating instance; false when the wait timed out, or
  // when every running data call has waited for the host (in its send) for hostWaitMs. A data
  // call that the calling thread is itself inside of is never waited for.
  bool WaitWhileTerminatingBusy(uint64_t timeoutMs, uint64_t hostWaitMs);
  void EnterDataCall();
  void LeaveDataCall();

protected:
  // Parameters of the module's own class, asked after the framework's names: answer true when
  // the name is the class's (with the value, or with `taken` saying whether the value was
  // accepted). They run within the command, like the framework's parameters.
  virtual bool GetOwnModuleParameter(const std::string& name, TVariant& value);
  virtual bool SetOwnModuleParameter(const std::string& name, const VARIANT& value, bool& taken);

  // Reads one line of the host's data-source list ("id;name;full name"); none for a line whose
  // first field is not a number. A module's class may read more from the line.
  virtual std::unique_ptr<TConfigDataSource> ReadConfigDataSource(const std::string& line);

private:
  void ReplaceConfigDataSources(const std::string& text, std::vector<std::string>& failures);
  int DispatchCommand(const std::string& word, TPluginCallRecIntft& record);
  void HandleLanguageRequest(TPluginCallRecIntft& record);
  int CommandLoad(TPluginCallRecIntft& record);
  int CommandUnload(TPluginCallRecIntft& record);
  int CommandSetState(TPluginCallRecIntft& record);
  int CommandItems(TPluginCallRecIntft& record);
  int CommandSetItems(TPluginCallRecIntft& record);
  int CommandSettingsNow(const std::string& word, TPluginCallRecIntft& record);
  int CommandEvent(TPluginCallRecIntft& record);
  int CommandModuleParameter(const std::string& word, TPluginCallRecIntft& record);
  void FindHostCallbacks();
  void NotifyHost();
  void SendLogNotification();
  TVariant GetCustomParameter(const std::string& key);
  bool SetCustomParameter(const std::string& key, const VARIANT& value);

  mutable std::mutex FTextsMutex;         // guards Description, LogTitle, CustomCommands
  mutable std::mutex FLoadLocationMutex;  // guards LoadThreadId, ModuleIndex, ModuleRegistryPath writes
  std::unique_ptr<TLogDataList> FLog;
  std::unique_ptr<TzorThreadParamsList> FCustomParams;
  platform::TCriticalSection FCustomParamsCreation;
  std::atomic<int> FProcessCalls{0};
  std::atomic<int> FDataCallsInSend{0};     // data calls waiting for the host in a send
  std::atomic<bool> FNotifyPending{false};  // a notification held back by THostCallsDeferred
  std::mutex FProcessMutex;
  std::condition_variable FProcessDone;
  std::atomic<int> FUses{1};
  std::atomic<bool> FDestroying{false};
};

// The class the library instantiates: a factory, so that the module's own class can replace
// the framework's.
using TzorPluginClass = TzorPlugin* (*)(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle);
TzorPluginClass PluginClass();
TzorPluginClass SetPluginClass(TzorPluginClass pluginClass);  // returns the previous one

// ---------------------------------------------------------------------------------------------
// The library: its entry points (module/kelda.cpp exports them) and its life.

int32_t zorCreatePluginInstance(TPluginCallRec* record);
int32_t zorFreePluginInstance(TPluginCallRec* record);
bool zorGetModuleInfo(TPluginCallRec* record, TPluginModuleInfo* info, uint32_t* requiredSize);
int32_t zorExecutePluginCommand(TPluginCallRec* record);
int32_t zorProcessData(TPluginCallRec* record);
int32_t zorGetLogEx(TPluginCallRec* record);
// The options dialog: the packed form resources into the host's buffer, and the reload of
// every instance sharing the settings after the host showed the dialog. Both answer the value
// they leave in DataOut.Value.
int32_t zorGetOptionsDialog(TPluginCallRec* record);
int32_t zorShowOptionsDialog(TPluginCallRec* record);

// The instance registry. FindPluginInstance answers a counted reference (ReleaseUse it), or
// none for a handle that is not a live instance.
TThreadObjectList* PluginInstances();
TzorPlugin* FindPluginInstance(uintptr_t handle);
int PluginCommandCount();

// Procedures run once by the shutdown marker, before the host unloads the library.
using TShutdownProc = void (*)();
void AddShutdownProc(TShutdownProc proc);

// Frees every instance still registered (the library's finalisation; tests call it too).
void FreeAllPluginInstances();

// The text of the current call stack that begins the debug output of a logged failure; the
// crash reporter replaces the default (the thread id).
using TCallStackTextHook = std::string (*)();
TCallStackTextHook SetCallStackTextHook(TCallStackTextHook hook);
std::string CurrentCallStackText();

}  // namespace kelda
