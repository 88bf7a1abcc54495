#include "module/PluginDM_ConfigCheck.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <utility>

#include "config/XmlReader.h"

namespace kelda {

namespace {

// A text that names thousands of unknown elements helps nobody, and the log keeps only so many
// lines: the rest is counted in one closing finding.
constexpr std::size_t kMaxFindings = 200;

// Positions beyond every read stay there: items after a huge one are past the read either way,
// and their positions must not overflow.
constexpr int64_t kFarPastAnyRead = int64_t{1} << 40;

constexpr std::array<std::string_view, 12> kRequestFields = {
    "Enabled",       "Address",    "Memory",     "Offset",       "Size",      "Timeout",
    "RequestMethod", "MethodOnce", "MethodPoll", "PollInterval", "PollUnits", "Response"};
constexpr std::array<std::string_view, 11> kItemFields = {"Name",        "Offset",   "Count", "AppendCnt",
                                                          "ZeroBaseCnt", "DataType", "LE",    "Unsigned",
                                                          "Swapped",     "Default",  "Scale"};
// Read by the queue loader from the request element; the first match counts.
constexpr std::array<std::string_view, 9> kRequestValues = {
    "Enabled", "Address", "Memory", "Offset", "Size", "Timeout", "MethodPoll", "PollInterval", "PollUnits"};
constexpr std::array<std::string_view, 8> kCheckBoxes = {
    "Enabled", "MethodOnce", "MethodPoll", "AppendCnt", "ZeroBaseCnt", "LE", "Unsigned", "Swapped"};

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

template <std::size_t N>
bool Among(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(), [name](std::string_view n) { return SameText(n, name); });
}

bool IsBlank(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 33; });
}

bool IsInside(const TXmlElement* element, const TXmlElement* ancestor) {
  for (const TXmlElement* e = element; e; e = e->Parent)
    if (e == ancestor) return true;
  return false;
}

bool IsCcm(uint8_t protocol) {
  return protocol == protoCcmMasterSlave || protocol == protoCcmPeerToPeer;
}

const TMemoryType* MemoryTypeOf(uint8_t code) {
  for (const TMemoryType& type : MemoryTypes)
    if (type.Code == code) return &type;
  return nullptr;
}

struct TSelector {
  uint8_t Code;
  const char* Prefix;
  bool Bits;  // false: the selector counts bytes of the bit table
};

// The SNP and SNP-X segment selectors of the tables the module can read: the list's bit access
// codes and their byte access twins.
constexpr TSelector kBitTables[] = {
    {0x46, "%I", true},  {0x48, "%Q", true},   {0x4A, "%T", true},   {0x4C, "%M", true},
    {0x4E, "%SA", true}, {0x50, "%SB", true},  {0x52, "%SC", true},  {0x54, "%S", true},
    {0x56, "%G", true},  {0x10, "%I", false},  {0x12, "%Q", false},  {0x14, "%T", false},
    {0x16, "%M", false}, {0x18, "%SA", false}, {0x1A, "%SB", false}, {0x1C, "%SC", false},
    {0x1E, "%S", false}, {0x38, "%G", false},
};

const TSelector* BitTableOf(uint8_t code) {
  for (const TSelector& s : kBitTables)
    if (s.Code == code) return &s;
  return nullptr;
}

const char* WordTableOf(uint8_t code) {
  switch (code) {
    case 0x08:
      return "%R";
    case 0x0A:
      return "%AI";
    case 0x0C:
      return "%AQ";
    default:
      return nullptr;
  }
}

// The address as CCM reads it: blanks, a sign, then decimal digits and nothing else.
bool IsDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size()) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

std::string Number(int64_t value) {
  return std::to_string(value);
}

class TChecker {
public:
  TChecker(uint8_t protocol, std::vector<TConfigFinding>& findings)
      : FProtocol(protocol), FFindings(findings) {}

  void Request(const TXmlElement* element, int position) {
    std::unique_ptr<TRequestItem> request = ReadRequest(element, position);
    FCaption = request->Name;
    FInItem = false;
    FResponse = FindElement(element, "Response");
    if (FResponse == element) FResponse = nullptr;
    Structure(element);
    Values(element);
    Protocol(element, *request);
    Items(*request);
  }

  void Add(TCheckFinding kind, const TXmlElement* at, std::initializer_list<std::string> arguments) {
    TConfigFinding finding{kind,
                           FCaption,
                           FItem,
                           FInItem,
                           at ? at->Line : 0,
                           at ? at->Column : 0,
                           std::vector<std::string>(arguments)};
    FFindings.push_back(std::move(finding));
  }

private:
  // Unknown elements and attributes, walked without recursion: a text may nest deeply.
  void Structure(const TXmlElement* request) {
    Attributes(request, true);
    std::vector<const TXmlElement*> stack(request->Children.rbegin(), request->Children.rend());
    while (!stack.empty()) {
      const TXmlElement* e = stack.back();
      stack.pop_back();
      if (e == FResponse) {
        Attributes(e, false);
        for (std::size_t i = 0; i < e->Children.size(); ++i)
          ItemStructure(e->Children[i], static_cast<int>(i));
        continue;
      }
      if (!Among(kRequestFields, e->Name)) Add(TCheckFinding::UnknownElement, e, {e->Name});
      Attributes(e, false);
      stack.insert(stack.end(), e->Children.rbegin(), e->Children.rend());
    }
  }

  void ItemStructure(const TXmlElement* item, int index) {
    EnterItem(item, index);
    Attributes(item, false);
    std::vector<const TXmlElement*> stack(item->Children.rbegin(), item->Children.rend());
    while (!stack.empty()) {
      const TXmlElement* e = stack.back();
      stack.pop_back();
      if (!Among(kItemFields, e->Name)) Add(TCheckFinding::UnknownElement, e, {e->Name});
      Attributes(e, false);
      stack.insert(stack.end(), e->Children.rbegin(), e->Children.rend());
    }
    LeaveItem();
  }

  void Attributes(const TXmlElement* e, bool isRequest) {
    const bool checkBox = Among(kCheckBoxes, e->Name);
    for (const auto& [name, value] : e->Attributes) {
      if (isRequest && name == "caption") continue;
      if (checkBox && name == "check") continue;
      Add(TCheckFinding::UnknownAttribute, e, {name, e->Name});
    }
  }

  void EnterItem(const TXmlElement* item, int index) {
    FInItem = true;
    FItem = ReadText(item, "Name", "ITEM");
    if (FItem.empty()) FItem = "#" + std::to_string(index + 1);
  }
  void LeaveItem() {
    FInItem = false;
    FItem.clear();
  }

  // Values the reader does not know, which take a default without a word.
  void Values(const TXmlElement* request) {
    for (std::string_view name : kRequestValues) {
      const TXmlElement* e = FindElement(request, name);
      if (e && FResponse && IsInside(e, FResponse))
        Add(TCheckFinding::FieldFromResponse, e, {std::string(name), Number(e->Line)});
    }
    if (!FindElement(request, "Enabled")) Add(TCheckFinding::NoEnabled, request, {});
    for (std::string_view name : {"Enabled", "MethodPoll"}) CheckBox(request, name);
    Integer(request, "Memory", 1);
    Integer(request, "Offset", 0);
    Integer(request, "Size", 1);
    Integer(request, "Timeout", 10000);
    Integer(request, "PollInterval", 1000);
    if (const TXmlElement* e = FindElement(request, "PollUnits"))
      if (e->Text != "MS" && e->Text != "S" && e->Text != "M" && e->Text != "H")
        Add(TCheckFinding::UnknownPollUnits, e, {e->Text});
    if (!FResponse) return;
    for (std::size_t i = 0; i < FResponse->Children.size(); ++i) {
      const TXmlElement* item = FResponse->Children[i];
      EnterItem(item, static_cast<int>(i));
      for (std::string_view name : {"AppendCnt", "ZeroBaseCnt", "LE", "Unsigned", "Swapped"})
        CheckBox(item, name);
      Integer(item, "Offset", -1);
      Integer(item, "Count", 1);
      if (const TXmlElement* e = FindElement(item, "Scale")) {
        long double scale = 0;
        if (!TryParseFloat(e->Text, scale)) Add(TCheckFinding::NotANumber, e, {e->Name, e->Text, "1"});
      }
      if (const TXmlElement* e = FindElement(item, "DataType")) {
        bool known = false;
        for (int code = 0; code < DataTypeCount; ++code) known = known || e->Text == DataTypeName(code);
        if (!known) Add(TCheckFinding::UnknownDataType, e, {e->Text});
      }
      LeaveItem();
    }
  }

  void CheckBox(const TXmlElement* start, std::string_view name) {
    const TXmlElement* e = FindElement(start, name);
    if (!e) return;
    if (!e->Text.empty()) {
      if (e->Text != "0" && e->Text != "1") Add(TCheckFinding::BooleanText, e, {e->Name, e->Text});
      return;
    }
    const std::string* check = e->FindAttribute("check");
    if (!check) {
      Add(TCheckFinding::NoCheck, e, {e->Name});
      return;
    }
    if (*check == "0" || *check == "2") return;
    int32_t state = 4;
    if (!TryParseInteger(*check, state) || state < 0 || state > 5) state = 4;
    Add(state == 4 ? TCheckFinding::UnknownCheckDefault : TCheckFinding::UnknownCheckOff, e,
        {*check, e->Name});
  }

  void Integer(const TXmlElement* start, std::string_view name, int32_t def) {
    const TXmlElement* e = FindElement(start, name);
    int32_t value = 0;
    if (e && !TryParseInteger(e->Text, value))
      Add(TCheckFinding::NotANumber, e, {e->Name, e->Text, Number(def)});
  }

  // What the chosen protocol makes of the address, the memory type and the offset.
  void Protocol(const TXmlElement* request, const TRequestItem& r) {
    const TXmlElement* address = FindElement(request, "Address");
    const TXmlElement* memory = FindElement(request, "Memory");
    const TXmlElement* offset = FindElement(request, "Offset");
    const TXmlElement* at = memory ? memory : request;
    if (!memory) Add(TCheckFinding::NoMemory, request, {});
    if (IsCcm(FProtocol)) {
      CcmAddress(address ? address : request, r.Address);
      CcmMemory(at, offset ? offset : at, r, memory != nullptr);
    } else {
      if (r.Address.size() > 7)
        Add(TCheckFinding::SnpIdTooLong, address ? address : request, {r.Address, r.Address.substr(0, 7)});
      SnpMemory(at, offset ? offset : at, r, memory != nullptr);
    }
    Limits(request, r);
  }

  // What one read may ask for: GE's largest answers, and the ends of the tables whose size does
  // not depend on the CPU. A read past them is refused by the PLC on every try.
  void Limits(const TXmlElement* request, const TRequestItem& r) {
    const TXmlElement* sizeAt = FindElement(request, "Size");
    const TXmlElement* at = sizeAt ? sizeAt : request;
    if (r.Size < 1) {
      Add(TCheckFinding::SizeNotPositive, at, {Number(r.Size)});
      return;
    }
    const TReadLayout layout = ReadLayoutOf(r, FProtocol);
    if (layout.Unit == TReadLayout::Unknown) return;
    if (IsCcm(FProtocol)) {
      CcmTableEnd(FindElement(request, "Offset") ? FindElement(request, "Offset") : at, r, layout);
      return;
    }
    // SNP-X: one X-Read answers 1 to 1000 bytes. SNP: the mailbox and the text buffers of one
    // request carry at most 2048 bytes of data (a Series 90-30 sends 1000 a buffer).
    const int64_t most = FProtocol == protoSnpX ? kSnpxMostReadBytes : kSnpMostReadBytes;
    if (layout.DataBytes <= most) return;
    const TCheckFinding kind =
        FProtocol == protoSnpX ? TCheckFinding::SnpxReadTooLong : TCheckFinding::SnpReadTooLong;
    Add(kind, at, {Number(layout.DataBytes), Number(most), FittingElements(r, layout, most)});
  }

  // How many elements of the request's table one read of `most` bytes holds, in GE's words.
  static std::string FittingElements(const TRequestItem& r, const TReadLayout& layout, int64_t most) {
    if (layout.Unit == TReadLayout::Words) return Number(most / 2) + " " + layout.Prefix + " registers";
    const TSelector* bits = BitTableOf(r.Memory);
    if (bits && bits->Bits) return Number(most * 8 - 7) + " " + layout.Prefix + " points from any start";
    return Number(most) + " bytes of " + layout.Prefix + " (" + Number(most * 8) + " points)";
  }

  // CCM's own tables have a fixed size on every Series 90: the scratch pad bytes 0 to 255 and
  // the diagnostic status words 1 to 20.
  void CcmTableEnd(const TXmlElement* at, const TRequestItem& r, const TReadLayout& layout) {
    const uint8_t ccm = CcmMemoryType(r.Memory);
    if (ccm != 6 && ccm != 9) return;
    const int64_t last = ccm == 6 ? kCcmScratchPadLastByte : kCcmStatusWords;
    const int64_t readLast = layout.ReadFirst + layout.ReadCount - 1;
    if (readLast <= last) return;
    Add(TCheckFinding::CcmPastTableEnd, at,
        {ccm == 6 ? "scratch pad" : "table of diagnostic status words", layout.Prefix + Number(last),
         layout.Prefix + Number(layout.ReadFirst), layout.Prefix + Number(readLast)});
  }

  static constexpr int64_t kSnpxMostReadBytes = 1000;
  static constexpr int64_t kSnpMostReadBytes = 2048;
  static constexpr int64_t kCcmScratchPadLastByte = 255;
  static constexpr int64_t kCcmStatusWords = 20;

  void CcmAddress(const TXmlElement* at, const std::string& address) {
    if (!IsDecimal(address)) {
      Add(TCheckFinding::CcmAddressNotStation, at, {address});
      return;
    }
    const int32_t station = CcmTargetNumber(address);
    const int32_t highest = FProtocol == protoCcmMasterSlave ? 90 : 255;
    if (station < 1 || station > highest)
      Add(TCheckFinding::CcmAddressRange, at, {address, Number(highest), Number(station & 0xFF)});
  }

  void CcmMemory(const TXmlElement* at, const TXmlElement* offsetAt, const TRequestItem& r, bool written) {
    const TMemoryType* type = MemoryTypeOf(r.Memory);
    const uint8_t ccm = CcmMemoryType(r.Memory);
    if (!type && r.Memory != 16 && r.Memory != 18) {
      if (written) Add(TCheckFinding::UnknownMemory, at, {Number(r.Memory)});
    } else if (type && !CcmHasTable(r.Memory)) {
      Add(TCheckFinding::MemoryOtherTable, at, {Number(r.Memory), Number(CcmTableCode(ccm))});
    }
    const TReadLayout layout = ReadLayoutOf(r, FProtocol);
    if (r.Offset == 0 && r.Memory != 0x80) {
      Add(TCheckFinding::CcmOffsetZero, offsetAt, {layout.Prefix + "1", layout.Prefix + "1"});
    } else if ((ccm == 2 || ccm == 3) && r.Offset > 0 && (r.Offset - 1) % 8 != 0) {
      const int32_t aligned = r.Offset - (r.Offset - 1) % 8;
      Add(TCheckFinding::CcmBitNotOnByte, offsetAt,
          {layout.Prefix + Number(r.Offset), Number(r.Offset), Number(aligned)});
    }
  }

  void SnpMemory(const TXmlElement* at, const TXmlElement* offsetAt, const TRequestItem& r, bool written) {
    if (r.Memory == 0x80 || r.Memory == 0x81) {
      Add(TCheckFinding::MemoryCcmOnly, at, {Number(r.Memory)});
      return;
    }
    const TSelector* bits = BitTableOf(r.Memory);
    if (!bits && !WordTableOf(r.Memory)) {
      if (written) Add(TCheckFinding::UnknownMemory, at, {Number(r.Memory)});
      return;
    }
    if (bits && bits->Bits && r.Offset > 0 && r.Offset % 8 != 0) {
      const int32_t aligned = r.Offset - r.Offset % 8;
      Add(TCheckFinding::BitReadNotOnByte, offsetAt,
          {std::string(bits->Prefix) + Number(int64_t{r.Offset} + 1), Number(r.Offset),
           std::string(bits->Prefix) + Number(int64_t{aligned} + 1), Number(aligned)});
    }
  }

  // Codes whose table CCM has: registers, discrete inputs and outputs, and CCM's own two.
  static bool CcmHasTable(uint8_t code) {
    return code == 0x08 || code == 0x46 || code == 0x48 || code == 0x80 || code == 0x81;
  }

  // The list's code of the table a CCM memory type reads.
  static uint8_t CcmTableCode(uint8_t ccm) {
    switch (ccm) {
      case 2:
        return 0x46;
      case 3:
        return 0x48;
      default:
        return 0x08;
    }
  }

  // Each item's values against the data the read gives, in the decoder's positions.
  void Items(const TRequestItem& r) {
    const TReadLayout layout = ReadLayoutOf(r, FProtocol);
    if (layout.Unit == TReadLayout::Unknown || !FResponse) return;
    const int64_t length = layout.DataBytes;
    int64_t next = 0;
    for (std::size_t i = 0; i < r.ResponseItems.size() && i < FResponse->Children.size(); ++i) {
      const TResponseItem& item = *r.ResponseItems[i];
      const TXmlElement* at = FResponse->Children[i];
      EnterItem(at, static_cast<int>(i));
      int64_t pos = item.Offset == -1 ? next : item.Offset;
      const int64_t count = std::max<int64_t>(item.Count, 0);
      next = pos;
      if (item.DataType == dtS) {
        if (count > 0 && (pos < 0 || pos + 255 > length)) {
          Add(TCheckFinding::TextTooShort, at,
              {Number(pos), Number(std::max<int64_t>(0, length - pos)),
               Number(SizeFor(r, layout, pos + 255))});
          next = pos + 255 * count;
        } else if (count > 0) {
          if (count > 1) Add(TCheckFinding::ItemPastRead, at, {Number(length), Number(length)});
          next = length + (count - 1) * (length - pos);
        }
      } else if (item.DataType == dtBIT) {
        const int64_t lastByte = pos + (count - 1) / 8;
        if (count > 0 && (pos < 0 || lastByte >= length))
          Add(TCheckFinding::ItemPastRead, at, {Number(std::max<int64_t>(pos, length)), Number(length)});
        next = pos + count / 8;
      } else {
        const int64_t size = item.ByteSize;
        if (count > 0 && (pos < 0 || pos + count * size > length)) {
          const int64_t fitting = pos < 0 ? 0 : std::max<int64_t>(0, (length - pos) / size);
          Add(TCheckFinding::ItemPastRead, at, {Number(pos + fitting * size), Number(length)});
        }
        next = pos + count * size;
      }
      next = std::min(next, kFarPastAnyRead);
      LeaveItem();
    }
  }

  // The request's Size that makes the answer carry `bytes` bytes of data.
  int64_t SizeFor(const TRequestItem& r, const TReadLayout& layout, int64_t bytes) const {
    if (IsCcm(FProtocol)) return layout.Unit == TReadLayout::Words ? (bytes + 1) / 2 * 2 : bytes;
    if (layout.Unit == TReadLayout::Words) return (bytes + 1) / 2;
    const TSelector* bits = BitTableOf(r.Memory);
    if (bits && !bits->Bits) return bytes;
    return bytes * 8 - (r.Offset > 0 ? r.Offset % 8 : 0);
  }

  uint8_t FProtocol;
  std::vector<TConfigFinding>& FFindings;
  std::string FCaption;
  std::string FItem;
  bool FInItem = false;
  const TXmlElement* FResponse = nullptr;
};

// A memory type as the list names it: "Analog Inputs (%AI)"; a code outside the list as itself.
std::string MemoryName(const std::string& codeText, const TTextResources& texts) {
  int32_t code = 0;
  const TMemoryType* type =
      TryParseInteger(codeText, code) ? MemoryTypeOf(static_cast<uint8_t>(code)) : nullptr;
  if (!type) return codeText;
  std::string name = texts.*type->Caption;
  if (type->Key.size() <= 3) name.append(" (%").append(type->Key).append(")");
  return name;
}

// The size limits' messages. They are not in the translated texts yet: every language reads them
// in English.
const std::string kSizeNotPositive = "Size %s reads nothing; write the number of values to read, 1 or more";
const std::string kSnpxReadTooLong =
    "the read asks for %s bytes of data, but an SNP-X PLC answers at most %s bytes a read (%s), so it "
    "refuses every read; make Size smaller or split the request in two";
const std::string kSnpReadTooLong =
    "the read asks for %s bytes of data, but one SNP request carries at most %s (%s), so the PLC refuses "
    "it; make Size smaller or split the request in two";
const std::string kCcmPastTableEnd =
    "the %s ends at %s, but the read runs from %s to %s, so the PLC refuses it; make Size smaller or start "
    "earlier";

const std::string& MessageOf(TCheckFinding kind, const TTextResources& t) {
  switch (kind) {
    case TCheckFinding::SizeNotPositive:
      return kSizeNotPositive;
    case TCheckFinding::SnpxReadTooLong:
      return kSnpxReadTooLong;
    case TCheckFinding::SnpReadTooLong:
      return kSnpReadTooLong;
    case TCheckFinding::CcmPastTableEnd:
      return kCcmPastTableEnd;
    case TCheckFinding::CutOff:
      return t.CheckCutOff;
    case TCheckFinding::RequestCutOff:
      return t.CheckRequestCutOff;
    case TCheckFinding::NoQuery:
      return t.CheckNoQuery;
    case TCheckFinding::UnknownElement:
      return t.CheckUnknownElement;
    case TCheckFinding::UnknownAttribute:
      return t.CheckUnknownAttribute;
    case TCheckFinding::UnknownDataType:
      return t.CheckUnknownDataType;
    case TCheckFinding::UnknownPollUnits:
      return t.CheckUnknownPollUnits;
    case TCheckFinding::UnknownCheckOff:
      return t.CheckUnknownCheckOff;
    case TCheckFinding::UnknownCheckDefault:
      return t.CheckUnknownCheckDefault;
    case TCheckFinding::NoCheck:
      return t.CheckNoCheck;
    case TCheckFinding::NoEnabled:
      return t.CheckNoEnabled;
    case TCheckFinding::BooleanText:
      return t.CheckBooleanText;
    case TCheckFinding::NotANumber:
      return t.CheckNotANumber;
    case TCheckFinding::FieldFromResponse:
      return t.CheckFieldFromResponse;
    case TCheckFinding::ItemPastRead:
      return t.CheckItemPastRead;
    case TCheckFinding::TextTooShort:
      return t.CheckTextTooShort;
    case TCheckFinding::CcmAddressNotStation:
      return t.CheckCcmAddressNotStation;
    case TCheckFinding::CcmAddressRange:
      return t.CheckCcmAddressRange;
    case TCheckFinding::CcmOffsetZero:
      return t.CheckCcmOffsetZero;
    case TCheckFinding::CcmBitNotOnByte:
      return t.CheckCcmBitNotOnByte;
    case TCheckFinding::MemoryOtherTable:
      return t.CheckMemoryOtherTable;
    case TCheckFinding::MemoryCcmOnly:
      return t.CheckMemoryCcmOnly;
    case TCheckFinding::UnknownMemory:
      return t.CheckUnknownMemory;
    case TCheckFinding::NoMemory:
      return t.CheckNoMemory;
    case TCheckFinding::BitReadNotOnByte:
      return t.CheckBitReadNotOnByte;
    case TCheckFinding::SnpIdTooLong:
      return t.CheckSnpIdTooLong;
    case TCheckFinding::TooMany:
      return t.CheckTooMany;
  }
  return t.CheckTooMany;
}

}  // namespace

std::vector<TConfigFinding> CheckConfiguration(std::string_view text, uint8_t protocol) {
  std::vector<TConfigFinding> findings;
  if (IsBlank(text)) return findings;
  TXmlDocument document(text);
  TChecker checker(protocol, findings);
  const TXmlElement* top = FindElement(document.Root(), "MODBUSRTUQUERY");
  // The loader leaves out the request the text ends inside; its other findings would be about
  // a request that is not polled.
  const TXmlElement* cutRequest = top ? ChildOpenAtEnd(document, top) : nullptr;
  if (const TXmlElement* open = document.OpenAtEnd()) {
    TConfigFinding cut{cutRequest ? TCheckFinding::RequestCutOff : TCheckFinding::CutOff,
                       "",
                       "",
                       false,
                       document.EndLine(),
                       document.EndColumn(),
                       {open->Name, Number(open->Line), Number(open->Column), Number(document.EndLine()),
                        Number(document.EndColumn())}};
    findings.push_back(std::move(cut));
  }
  if (!top) {
    checker.Add(TCheckFinding::NoQuery, nullptr, {});
    return findings;
  }
  int position = 0;
  for (const TXmlElement* request : top->Children) {
    ++position;
    if (request == cutRequest) {
      findings.front().Request = ReadCaption(request, position);
      break;
    }
    checker.Request(request, position);
    if (findings.size() > kMaxFindings) break;
  }
  // In text order, which is also the order of a request's fields; a cut-off text ends last.
  std::stable_sort(findings.begin(), findings.end(), [](const TConfigFinding& a, const TConfigFinding& b) {
    return a.Line != b.Line ? a.Line < b.Line : a.Column < b.Column;
  });
  if (findings.size() > kMaxFindings) {
    const std::size_t more = findings.size() - kMaxFindings;
    findings.resize(kMaxFindings);
    findings.push_back({TCheckFinding::TooMany, "", "", false, 0, 0, {Number(static_cast<int64_t>(more))}});
  }
  return findings;
}

std::string FindingText(const TConfigFinding& finding, const TTextResources& texts) {
  std::vector<std::string> arguments = finding.Arguments;
  if (finding.Kind == TCheckFinding::MemoryOtherTable || finding.Kind == TCheckFinding::MemoryCcmOnly)
    for (std::string& argument : arguments) argument = MemoryName(argument, texts);
  const std::string message = FillInMessage(MessageOf(finding.Kind, texts), arguments);
  if (finding.Request.empty() && !finding.InItem) return message;
  const std::string where = finding.InItem ? FillInMessage(texts.CheckInItem, {finding.Request, finding.Item})
                                           : FillInMessage(texts.CheckInRequest, {finding.Request});
  return where + ": " + message;
}

TReadLayout ReadLayoutOf(const TRequestItem& r, uint8_t protocol) {
  TReadLayout layout;
  const int64_t size = std::max<int64_t>(r.Size, 0);
  const int64_t offset = r.Offset;
  if (IsCcm(protocol)) {
    layout.DataBytes = size;
    layout.FirstNumber = offset;
    layout.ReadFirst = offset;
    layout.ReadCount = size;
    switch (CcmMemoryType(r.Memory)) {
      case 2:
      case 3:
        layout.Unit = TReadLayout::Bits;
        layout.Prefix = CcmMemoryType(r.Memory) == 2 ? "%I" : "%Q";
        layout.ReadCount = size * 8;
        break;
      case 6:
        layout.Unit = TReadLayout::Bytes;
        layout.Prefix = "scratch pad byte ";
        break;
      case 9:
        layout.Unit = TReadLayout::Words;
        layout.Prefix = "status word ";
        layout.ReadCount = (size + 1) / 2;
        break;
      default:
        layout.Unit = TReadLayout::Words;
        layout.Prefix = "%R";
        layout.ReadCount = (size + 1) / 2;
        break;
    }
    return layout;
  }
  if (const char* words = WordTableOf(r.Memory)) {
    layout.Unit = TReadLayout::Words;
    layout.Prefix = words;
    layout.DataBytes = size * 2;
    layout.FirstNumber = offset + 1;
    layout.ReadFirst = offset + 1;
    layout.ReadCount = size;
    return layout;
  }
  const TSelector* bits = BitTableOf(r.Memory);
  if (!bits || offset < 0) return layout;
  layout.Unit = TReadLayout::Bits;
  layout.Prefix = bits->Prefix;
  if (!bits->Bits) {
    layout.DataBytes = size;
    layout.FirstNumber = offset * 8 + 1;
    layout.ReadFirst = layout.FirstNumber;
    layout.ReadCount = size * 8;
    return layout;
  }
  // A bit read answers the whole bytes that hold the bits asked for.
  layout.DataBytes = size == 0 ? 0 : (offset + size - 1) / 8 - offset / 8 + 1;
  layout.FirstNumber = offset / 8 * 8 + 1;
  layout.ReadFirst = offset + 1;
  layout.ReadCount = size;
  return layout;
}

std::string ReferenceAt(const TReadLayout& layout, int64_t byte, int bit) {
  switch (layout.Unit) {
    case TReadLayout::Words:
      return layout.Prefix + Number(layout.FirstNumber + byte / 2) + (byte % 2 ? " high byte" : "");
    case TReadLayout::Bits:
      return layout.Prefix + Number(layout.FirstNumber + byte * 8 + bit);
    case TReadLayout::Bytes:
      return layout.Prefix + Number(layout.FirstNumber + byte);
    case TReadLayout::Unknown:
      break;
  }
  return "byte " + Number(byte);
}

}  // namespace kelda
