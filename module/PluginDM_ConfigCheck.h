// The configuration check: reads a request configuration text the way the queue loader does and
// lists what will most likely not do what its author meant: misspelt elements and attributes,
// values the reader does not know (which silently take a default), items that lie past the data
// their request reads, reads larger than the protocol carries or past the end of a fixed table, addresses and
// memory types the chosen protocol reads differently, bit reads that do not start on a byte boundary, and a
// text that was cut off.
//
// The check informs and never refuses: the queue loader reads the same text. The one request
// the loader leaves out, a request the text ends inside, is named as such. Each
// finding carries a kind, the request's caption, the position in the text and the arguments of
// its message; the module logs the findings with its translated texts on every configuration
// load, and "kelda-host check" prints them with their line and column.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/PluginDM.h"
#include "module/PluginDM_TextResources.h"

namespace kelda {

enum class TCheckFinding : uint8_t {
  CutOff,                // element, its line, its column, end line, end column
  RequestCutOff,         // the same, for a cut inside a request, which is then not polled
  NoQuery,               // -
  UnknownElement,        // element
  UnknownAttribute,      // attribute, element
  UnknownDataType,       // value
  UnknownPollUnits,      // value
  UnknownCheckOff,       // value, element
  UnknownCheckDefault,   // value, element
  NoCheck,               // element
  NoEnabled,             // -
  BooleanText,           // element, text
  NotANumber,            // element, text, value used
  FieldFromResponse,     // element, its line
  ItemPastRead,          // first byte past the read, data bytes of the read
  TextTooShort,          // first byte, data bytes from there, Size that would do
  CcmAddressNotStation,  // address
  CcmAddressRange,       // address, highest station number, station sent
  CcmOffsetZero,         // first reference
  CcmBitNotOnByte,       // reference, Offset, Offset on the byte boundary
  MemoryOtherTable,      // memory type code, code of the table read instead (named when shown)
  MemoryCcmOnly,         // memory type code (named when shown)
  UnknownMemory,         // code
  NoMemory,              // -
  BitReadNotOnByte,      // first reference, Offset, reference of bit 0, Offset on the boundary
  SnpIdTooLong,          // address, the SNP ID sent
  SizeNotPositive,       // Size
  SnpxReadTooLong,       // data bytes of the read, the most a read may ask, the elements that fit
  SnpReadTooLong,        // data bytes of the read, the most one read may carry, the elements that fit
  CcmPastTableEnd,       // the table, its last element, the read's first and last element
  TooMany,               // findings left out
};

struct TConfigFinding {
  TCheckFinding Kind;
  std::string Request;  // the request's caption; empty for findings about the whole text
  std::string Item;     // the response item's name when the finding is about an item
  bool InItem = false;
  int Line = 0;  // where in the text (1-based; 0: nowhere in particular)
  int Column = 0;
  std::vector<std::string> Arguments;  // fill the message's "%s" in order
};

// The findings for a configuration text read with a protocol (as stored: 0 CCM master to
// slave, 1 CCM peer to peer, 2 SNP, 3 SNP-X), in text order per request. An empty (or blank)
// text has none.
std::vector<TConfigFinding> CheckConfiguration(std::string_view text, uint8_t protocol);

// The message of a finding in the wording of `texts`: where (the request, and the item), then
// what was found and what to do.
std::string FindingText(const TConfigFinding& finding, const TTextResources& texts);

// What a request's answer holds for its response items, by protocol and memory type, and how a
// byte position in it names GE memory.
struct TReadLayout {
  enum TUnit : uint8_t { Unknown, Words, Bits, Bytes };
  TUnit Unit = Unknown;     // Unknown: the memory type's unit is not known for the protocol
  int64_t DataBytes = 0;    // bytes of data the answer carries
  std::string Prefix;       // "%R", "%I", ...; for CCM's own tables a word and a blank
  int64_t FirstNumber = 0;  // reference number of the first element in the data (bit 0 of the
                            // first byte for bits)
  int64_t ReadFirst = 0;    // the elements the request reads: the number of the first
  int64_t ReadCount = 0;    // and how many
};

TReadLayout ReadLayoutOf(const TRequestItem& request, uint8_t protocol);

// The GE reference of data byte `byte` (and, for bits, bit `bit` in it): "%R4", "%I13".
std::string ReferenceAt(const TReadLayout& layout, int64_t byte, int bit = 0);

}  // namespace kelda
