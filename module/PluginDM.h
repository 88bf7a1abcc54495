// The module's own classes: the settings object, the request and response items that the
// configuration text turns into, the request queue loader, and the table of GE PLC memory types
// with the request fields each protocol derives from them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Common/Classes.h"
#include "Common/Thread_ObjectList.h"
#include "Common/zorTimeout.h"
#include "config/CfgOptionsProxy.h"
#include "module/PluginDM_TextResources.h"

namespace kelda {

class TzorStrHolder;
class TXmlElement;

// ---------------------------------------------------------------------------------------------
// Settings

// The settings of one plug-in instance. The property names are the options form's control
// paths with "." replaced by "_"; the property map says under which key each one is stored.
class TDataSourceCfg : public TProxyCodeObject {
public:
  explicit TDataSourceCfg(TComponent* owner) : TProxyCodeObject(owner) {}
  const TPropertyTable& PublishedProperties() const override;

  int32_t Left = 326;
  int32_t Top = 144;
  int32_t Height = 435;
  int32_t Width = 481;
  std::string lblParams_Caption;     // the request configuration text
  std::string OpenDialog_FileName;   // last folder a configuration was opened from
  std::string SaveDialog_FileName;   // last folder a configuration was saved to
  double spMinInt_Value = 0;         // minimal interval between data packets, ms
  int32_t comboProto_ItemIndex = 2;  // 0 CCM master to slave, 1 CCM peer to peer, 2 SNP, 3 SNP-X
  double spLocalAddress_Value = 1;   // the module's own address on the link
  // Speed settings; their defaults keep the engine's plain behaviour.
  int32_t chkKeepSession_Checked = 0;      // SNP, SNP-X: attach once, read on while the link is fresh
  int32_t chkSendWhenReady_Checked = 0;    // the next request leaves when the line is ready
  double spHandshakeTimeout_Value = 2000;  // ms, the opening steps' time-out
  int32_t spRetries_Value = 0;             // repeats of a failed transaction
  int32_t spDemoteAfter_Value = 0;         // failed transactions in a row that demote a PLC; 0 never
  double spDemoteFor_Value = 10000;        // ms a demoted PLC is skipped
};

// The speed settings as the engine uses them, each in its valid range.
struct TSpeedSettings {
  bool KeepSession = false;
  bool SendWhenReady = false;
  int32_t HandshakeTimeout = 2000;  // ms, 1 .. kMaxHandshakeTimeout
  int32_t Retries = 0;              // 0 .. kMaxRetries
  int32_t DemoteAfter = 0;          // 0: never; at most kMaxDemoteAfter
  int32_t DemoteFor = 10000;        // ms, 1 .. kMaxDemoteFor
  // The ranges of the options dialog's spin edits.
  static constexpr int32_t kMaxHandshakeTimeout = 65535;
  static constexpr int32_t kMaxRetries = 255;
  static constexpr int32_t kMaxDemoteAfter = 65535;
  static constexpr int32_t kMaxDemoteFor = 3600000;
  // Either setting asks the engine to keep GE's line timing to the letter.
  bool Timed() const { return KeepSession || SendWhenReady; }
};
TSpeedSettings SpeedSettingsOf(const TDataSourceCfg& settings);
// The minimal interval between data packets as the engines use it: truncated, in the options
// dialog's range 0 .. kMaxMinInterval ms.
inline constexpr int32_t kMaxMinInterval = 65535;
int32_t MinIntervalOf(const TDataSourceCfg& settings);

// The property map: "property,key" lines in order, with comment and blank lines kept as they
// are, because the options form carries the same lines and both sides must agree. Its one
// source is the plug-in's form resource ("TAPLUGIN"); empty when that cannot be read.
TStringList PropertyMapLines();

// Protocols, as stored in comboProto_ItemIndex.
enum TProtocol : uint8_t { protoCcmMasterSlave = 0, protoCcmPeerToPeer = 1, protoSnp = 2, protoSnpX = 3 };
// The protocol an engine runs for a stored choice: 1, 2 and 3 as stored, anything else 0.
uint8_t ProtocolOf(int32_t itemIndex);

// A double setting used as whole milliseconds or an address: truncated toward zero, saturated
// to the 32-bit range, 0 for a value that is not a number.
int32_t TruncSetting(double value);

// ---------------------------------------------------------------------------------------------
// Requests

enum TDataTypeCode : uint8_t { dtD8 = 0, dtD16, dtD32, dtD64, dtF32, dtF64, dtS, dtBIT };
constexpr int DataTypeCount = 8;

// The code of a data type name, compared exactly; any other text gives dtD8.
uint8_t DataTypeCode(std::string_view name);
std::string_view DataTypeName(uint8_t code);  // "D8" for codes outside the table
int32_t DataTypeByteSize(uint8_t code);       // 1 for codes outside the table

// One named value cut out of a request's answer.
class TResponseItem : public TObject {
public:
  void SetDataType(uint8_t code);  // sets DataType and ByteSize together

  int32_t Offset = -1;  // -1: placed after the previous item
  int32_t Count = 1;
  uint8_t DataType = dtD8;
  int32_t ByteSize = 1;
  std::string Name = "ITEM";
  std::string DefaultValue = "0";  // the text given when the value is missing
  bool AppendCnt = true;
  bool ZeroBaseCnt = true;
  bool Swapped = true;
  bool LE = false;
  bool Unsigned = true;
  long double Scale = 1;
};

// The response items of a request, in configuration order. Read through pointers to const
// items: a list is filled once and then only read, so copies of a request (each engine's queue
// holds its own copy of every configured request) share one list by counted reference, and the
// decodes of several engines read it at the same time without a lock. A request that changes its
// list while it shares it gets a list of its own first.
class TResponseItemList {
  using TItems = std::vector<std::unique_ptr<TResponseItem>>;

public:
  class const_iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = const TResponseItem*;
    using difference_type = std::ptrdiff_t;
    using pointer = const TResponseItem* const*;
    using reference = const TResponseItem*;
    const_iterator() = default;
    const TResponseItem* operator*() const { return FAt->get(); }
    const_iterator& operator++() {
      ++FAt;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator was = *this;
      ++FAt;
      return was;
    }
    bool operator==(const const_iterator&) const = default;

  private:
    friend class TResponseItemList;
    explicit const_iterator(TItems::const_iterator at) : FAt(at) {}
    TItems::const_iterator FAt;
  };

  std::size_t size() const { return FItems ? FItems->size() : 0; }
  bool empty() const { return size() == 0; }
  const_iterator begin() const { return const_iterator(Items().begin()); }
  const_iterator end() const { return const_iterator(Items().end()); }
  const TResponseItem* operator[](std::size_t index) const { return Items()[index].get(); }
  const TResponseItem* back() const { return Items().back().get(); }

  // Changes: each gives this list its own items first when it shares them.
  TResponseItem* operator[](std::size_t index) { return Own()[index].get(); }
  TResponseItem* back() { return Own().back().get(); }
  void push_back(std::unique_ptr<TResponseItem> item);
  void insert(const_iterator at, std::unique_ptr<TResponseItem> item);
  void erase(const_iterator at);
  void clear() { FItems.reset(); }

  // Whether both lists are one list, shared.
  bool SharedWith(const TResponseItemList& other) const { return FItems && FItems == other.FItems; }

private:
  const TItems& Items() const;
  TItems& Own();
  std::shared_ptr<TItems> FItems;  // none while empty
};

// One queued request: a block of PLC memory read once or at an interval. The scheduler and the
// receive path write Busy, Step, Sequence, RetriesDone, RetryDue, OnceFailures, OnceResumeAt and
// Timer; everything else is the configuration's and stays as the loader read it.
class TRequestItem : public TObject {
public:
  bool Enabled = false;  // false: the request is never sent, its items are still declared
  bool Busy = false;
  uint8_t Step = 0;
  int32_t Timeout = 10000;
  int32_t HandshakeTimeout = 2000;
  std::string Name;
  bool MethodPoll = false;
  int32_t PollInterval = 0;  // ms, unit already applied
  int16_t Sequence = -1;
  int32_t RetriesDone = 0;  // repeats of the failing transaction so far
  bool RetryDue = false;    // a failed transaction is to be repeated in the request's next turn
  // A read-once request that has not been answered yet: its failed transactions so far, and the
  // time (ms) before which it is not tried again.
  int32_t OnceFailures = 0;
  uint64_t OnceResumeAt = 0;
  TResponseItemList ResponseItems;
  std::string Address;  // target PLC address as text
  uint8_t Memory = 0;   // memory type code
  int32_t Offset = 0;
  int32_t Size = 0;
  TzorTimeout Timer;
};

// What the queue loader reads of the plug-in object.
class IRequestQueuePlugin {
public:
  virtual bool IsUnloaded() const = 0;
  virtual bool IsStateFlagSet(int index) const = 0;  // index 0..7

protected:
  ~IRequestQueuePlugin() = default;
};

// What the queue loader drives on the protocol engine whose queue it refills.
class IRequestQueueEngine {
public:
  virtual void StopQueueTimer() = 0;
  virtual void ClearLastRequest() = 0;
  virtual void SetMinInterval(int32_t ms) = 0;
  virtual void SetProtocol(uint8_t protocol) = 0;
  virtual void SetSpeed(const TSpeedSettings&) {}
  // Called once the queue holds every request of the configuration, before Restart.
  virtual void QueueLoaded() {}
  // Switches the queue timer on exactly when the plug-in is started and the queue not empty.
  virtual void Restart() = 0;

protected:
  ~IRequestQueueEngine() = default;
};

// A polling interval times its unit ("S", "M", "H"; anything else milliseconds), computed in 64
// bits and saturated to the 32-bit range, so a huge interval stays the longest one possible
// instead of wrapping into a short or negative one.
int32_t ApplyPollUnits(int32_t interval, std::string_view units);

// One request as the queue loader reads it from its element of the configuration text;
// `position` is its 1-based place, which names a request without a caption.
std::unique_ptr<TRequestItem> ReadRequest(const TXmlElement* element, int position);

// The requests of one configuration text as the queue loader reads them, read once per settings
// load and then only read. A queue filled from them gets fresh requests of its own, with the
// run-time fields as a new request has them, that share the response item lists; so several
// engines' queues cost one parse, and each engine's scheduler writes only its own requests.
class TParsedRequests {
public:
  TParsedRequests() = default;  // no requests
  // Reads the configuration text of `settings`; every request gets the handshake time-out of its
  // speed settings. An exception while reading (out of memory) propagates.
  explicit TParsedRequests(const TDataSourceCfg& settings);

  int Count() const { return static_cast<int>(FRequests.size()); }
  const TRequestItem& Request(int index) const { return *FRequests[static_cast<std::size_t>(index)]; }
  // The caption of the request whose element the text ended inside (a text cut off), or empty.
  // Such a request is left out: what is missing of it would be read as defaults (its byte
  // order, its sign, even its memory type), and a value read that way is a wrong value.
  const std::string& CutOffRequest() const { return FCutOffRequest; }
  // Appends a new copy of every request to `queue`, in order. An exception while appending frees
  // the copy under construction and propagates; the copies appended before it stay.
  void AppendTo(TThreadObjectList& queue) const;

private:
  std::vector<std::unique_ptr<const TRequestItem>> FRequests;
  std::string FCutOffRequest;
};

// Whether an engine's queue is filled at all: only while the plug-in is loaded and started
// (state flag 0 or 1). Otherwise the engine stays stopped with an empty queue.
bool EngineQueuesFill(const IRequestQueuePlugin* plugin);

// Refills `queue` (owning, of TRequestItem) from the configuration text of `settings`. With an
// engine the queue is that engine's: its queue timer is stopped first, the queue is only filled
// while the plug-in is loaded and started, and the engine is restarted after the last request.
// Without an engine a free-standing queue is built whatever the plug-in's state. An exception
// while building propagates; the requests appended before it stay.
void LoadRequestQueue(const IRequestQueuePlugin* plugin, const TDataSourceCfg* settings,
                      TThreadObjectList& queue, IRequestQueueEngine* engine);
// The same, with the requests of `settings` already read into `parsed` (none: read here if the
// queue is filled), so that the queues of one load share one parse. `settings` still gives the
// engine its minimal interval, protocol and speed settings.
void LoadRequestQueue(const IRequestQueuePlugin* plugin, const TDataSourceCfg* settings,
                      const TParsedRequests* parsed, TThreadObjectList& queue, IRequestQueueEngine* engine);

// ---------------------------------------------------------------------------------------------
// Memory types

struct TMemoryType {
  std::string TTextResources::*Caption;
  std::string_view Key;
  uint8_t Code;                       // the request's Memory value; the SNP and SNP-X segment selector
  uint8_t CcmType;                    // the memory type number of CCM requests
  std::string TTextResources::*Mark;  // protocol remark, or nullptr
};

extern const std::array<TMemoryType, 13> MemoryTypes;

// The CCM memory type of a memory type code; 1 for codes outside the known ones.
uint8_t CcmMemoryType(uint8_t code);

// The options dialog's memory type choice: "caption[ (%key)][ mark]==code" per table row,
// joined with "||", captions and marks in the wording of `texts`.
std::string MemoryTypeList(const TTextResources& texts);

// Request fields as CCM sends them (both modes), as upper-case hexadecimal text.
struct TCcmRequestFields {
  std::string Target;   // 2 digits
  std::string Source;   // 2 digits
  std::string Memory;   // 2 digits
  std::string Address;  // at least 4 digits
  std::string Length;   // at least 4 digits
};

// Request fields as SNP and SNP-X send them, as bytes.
struct TSnpRequestFields {
  std::array<uint8_t, 8> SnpId;    // first 7 characters of the address, padded with zero bytes
  uint8_t Memory;                  // the memory type code
  std::array<uint8_t, 2> Address;  // low 16 bits of the offset, low byte first
  std::array<uint8_t, 2> Length;   // low 16 bits of the size, low byte first
};

std::string HexDigits(uint32_t value, int minDigits);  // upper case, at least minDigits
// The CCM target: the address text as a decimal number (blanks before it and a sign allowed);
// any other text addresses the default target 2.
int32_t CcmTargetNumber(const std::string& address);
TCcmRequestFields CcmRequestFields(const TRequestItem& request, double localAddress);
TSnpRequestFields SnpRequestFields(const TRequestItem& request);

}  // namespace kelda
