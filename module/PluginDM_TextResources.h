// TTextResources: the module's user-visible texts that do not come from the framework: the
// messages, the captions and protocol marks of the memory type list, the protocol names, the
// descriptions of the address items, and the captions of the options form. Each text is a field
// holding its English wording; the fields are registered in declaration order so that a
// translation can walk and replace them, and every reader takes the current wording from the
// fields.
#pragma once

#include <string>
#include <vector>

#include "Common/CustomTextResources.h"

namespace kelda {

class TTextResources : public TCustomTextResources {
public:
  explicit TTextResources(TComponent* owner);

  // Messages.
  std::string MsgItemsFormationError = "Error on items formation (%s)";
  std::string MsgNoPropertyMap = "The settings map of the module cannot be read; settings are not stored";
  std::string MsgRequestNotSent =
      "Request \"%s\" is not sent: its data address or size is outside 0 to 65535";
  // A failed transaction, when the host asked for them to be logged: the data source, the
  // request's caption and one of the causes below.
  std::string MsgTransactionFailed = "Data source %s, request \"%s\" failed: %s";
  std::string CauseHandshakeTimeout = "no acknowledgement in time";
  std::string CauseDataTimeout = "no data in time";
  std::string CauseCheckFailed = "an answer failed its block check";
  std::string CauseNak = "the PLC refused the request (NAK)";
  std::string CauseSendFailed = "the request could not be written to the port";
  std::string CauseBadAnswer = "the answer did not fit the read (its data overran or fell short)";
  std::string CausePlcError = "the PLC answered with an error: %s";
  // Memory type captions and protocol marks.
  std::string MemRegisters = "Registers";
  std::string MemAnalogInputs = "Analog Inputs";
  std::string MemAnalogOutputs = "Analog Outputs";
  std::string MemDiscreteInputs = "Discrete Inputs";
  std::string MemDiscreteOutputs = "Discrete Outputs";
  std::string MemGeniusGlobalData = "Genius Global Data";
  std::string MemDiscreteInternals = "Discrete Internals";
  std::string MemDiscretesS = "Discretes";
  std::string MemDiscretesSA = "Discretes";
  std::string MemDiscretesSB = "Discretes";
  std::string MemDiscretesSC = "Discretes";
  std::string MemScratchPad = "Scratch Pad";
  std::string MemStatusWords = "Diagnostic Status Words";
  std::string MarkSnpxOnly = "(SNPX only)";
  std::string MarkCcmOnly = "(CCM only)";

  // Protocol names, in the order of the stored protocol choice.
  std::string ProtoCcmMasterSlave = "CCM (master to slave)";
  std::string ProtoCcmPeerToPeer = "CCM (peer to peer)";
  std::string ProtoSnp = "SNP";
  std::string ProtoSnpX = "SNP-X";

  // Descriptions of the address items every packet carries.
  std::string ItemSourceAddress = "Source address";
  std::string ItemTargetAddress = "Target address";
  std::string ItemMemory = "Memory type";
  std::string ItemMemoryAddress = "Memory address";

  // Options form: labels, the request tree's caption and its caption holders.
  std::string FormProtocol = "Protocol";
  std::string FormSourceAddress = "Source address";
  std::string FormMinInterval = "Minimal interval between data packets (ms)";
  std::string FormRequestsQueue = "Requests queue";
  std::string MsgReq = "Request";
  std::string MsgSendReq = "Send requests, otherwise parse response only";
  std::string MsgDevAddr = "Target address";
  std::string MsgFunc = "Memory";
  std::string MsgDataAddress = "Data address";
  std::string MsgRegRead = "Read values";
  std::string MsgRegReadHint = "Zero based value";
  std::string MsgReqTimeout = "Request timeout (ms)";
  std::string MsgReqMethod = "Request method";
  std::string MsgMOnce = "Once, on the program startup";
  std::string MsgPolling = "Polling";
  std::string MsgPollInt = "Interval";
  std::string MsgPollUnits = "Interval units";
  std::string TxtMillisecond = "Millisecond";
  std::string TxtSecond = "Second";
  std::string TxtMinute = "Minute";
  std::string TxtHour = "Hour";
  std::string MsgResponseItems = "Response items";
  std::string MsgResponseItem = "Response item";
  std::string MsgName = "Name";
  std::string MsgOffset = "Offset";
  std::string MsgOffsetHint = "If you'll specify -1 then the program will calculate offset automatically";
  std::string MsgCount = "Count";
  std::string MsgAppendCnt = "Append counter to name";
  std::string MsgZeroBaseCnt = "Zero based counter";
  std::string MsgDataType = "Data type";
  std::string MsgDec = "Decimal";
  std::string MsgF32 = "Single precision float";
  std::string MsgF64 = "Double precision float";
  std::string MsgS = "String (zero ended)";
  std::string MsgBIT = "Bit (coil status)";
  std::string MsgD8 = "8 bit";
  std::string MsgD16 = "16 bit";
  std::string MsgD32 = "32 bit";
  std::string MsgD64 = "64 bit";
  std::string MsgLE = "Little endian, otherwise Big endian (numbers only)";
  std::string MsgUnsigned = "Unsigned, otherwise Signed (decimal numbers only)";
  std::string MsgSwapped = "Swapped (most significant register first) (32 and 64 bit numbers only)";
  std::string MsgScale = "Scale (numbers only)";
  std::string MsgDefault = "Default value";
};

}  // namespace kelda
