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
  std::string MsgRequestCutOff =
      "Request \"%s\" is not polled: the configuration ends inside its definition, so what it reads and how "
      "is not known; load the complete configuration again";
  // A failed transaction, when the host asked for them to be logged: the data source, the
  // request's caption and one of the causes below.
  std::string MsgTransactionFailed = "Data source %s, request \"%s\" failed: %s";
  // An engine whose polling thread ended or stopped dispatching, taken over by another thread.
  std::string MsgPollingThreadStopped =
      "Data source %s: the thread that polled it stopped; polling goes on in the thread of the host's last "
      "command";
  std::string CauseHandshakeTimeout = "no acknowledgement in time";
  std::string CauseDataTimeout = "no data in time";
  std::string CauseCheckFailed = "an answer failed its block check";
  std::string CauseNak = "the PLC refused the request (NAK)";
  std::string CauseSendFailed = "the request could not be written to the port";
  std::string CauseBadAnswer = "the answer did not fit the read (its data overran or fell short)";
  std::string CausePlcError = "the PLC answered with an error: %s";
  // The configuration check: where a finding is, then what it is and what to do.
  std::string CheckInRequest = "Request \"%s\"";
  std::string CheckInItem = "Request \"%s\", item %s";
  std::string CheckCutOff =
      "the configuration ends inside <%s> (opened at line %s, column %s) at line %s, column %s: it looks cut "
      "off, and what should follow is missing; load the complete configuration again";
  std::string CheckRequestCutOff =
      "the configuration ends inside <%s> (opened at line %s, column %s) at line %s, column %s: the "
      "request's definition is incomplete, so it is not polled; load the complete configuration again";
  std::string CheckNoQuery =
      "the configuration has no <MODBUSRTUQUERY> element, so no request is read; load a configuration "
      "written by the options dialog";
  std::string CheckUnknownElement =
      "element <%s> is not known here and is ignored; check its spelling and where it stands";
  std::string CheckUnknownAttribute =
      "attribute %s of <%s> is not known and is ignored; attribute names are case-sensitive (caption, check)";
  std::string CheckUnknownDataType =
      "data type \"%s\" is not known and reads as D8; write D8, D16, D32, D64, F32, F64, S or BIT in upper "
      "case";
  std::string CheckUnknownPollUnits =
      "poll units \"%s\" are not known and read as milliseconds; write MS, S, M or H in upper case";
  std::string CheckUnknownCheckOff =
      "check=\"%s\" of <%s> is not known and reads as off; write check=\"2\" for on or check=\"0\" for off";
  std::string CheckUnknownCheckDefault =
      "check=\"%s\" of <%s> is not known and leaves the default; write check=\"2\" for on or check=\"0\" for "
      "off";
  std::string CheckNoCheck =
      "<%s> has neither a text nor a check attribute and takes its default; write check=\"2\" for on or "
      "check=\"0\" for off";
  std::string CheckNoEnabled =
      "there is no <Enabled>, so the request is never sent (its items are only parsed); write <Enabled "
      "check=\"2\"/> to send it";
  std::string CheckBooleanText =
      "<%s> holds the text \"%s\", which reads as off (only 1 is on); write check=\"2\" for on or "
      "check=\"0\" for off";
  std::string CheckNotANumber = "<%s> holds \"%s\", which is not a number, so %s is used; write a number";
  std::string CheckFieldFromResponse =
      "the request has no <%s> of its own before <Response>, so the one of its first item (line %s) is "
      "taken; write the request's own before <Response>";
  std::string CheckItemPastRead =
      "its values from data byte %s on lie past the %s bytes of data the read gives and take the item's "
      "Default; make the request's Size larger or the item shorter";
  std::string CheckTextTooShort =
      "a text item needs at least 255 bytes of data from byte %s, but the read gives %s, so it takes its "
      "Default; make the request's Size at least %s";
  std::string CheckCcmAddressNotStation =
      "Address \"%s\" is not a CCM station number, so station 2 is addressed; write the PLC's CPU ID in "
      "decimal, or choose the protocol the configuration was written for";
  std::string CheckCcmAddressRange =
      "Address %s is outside the CCM station numbers 1 to %s, so station %s is addressed; write the PLC's "
      "CPU ID";
  std::string CheckCcmOffsetZero =
      "Offset 0: CCM numbers this table from 1, so the read starts before %s; write Offset 1 to start at %s";
  std::string CheckCcmBitNotOnByte =
      "CCM reads discrete points in whole bytes from point 1, 9, 17 and so on: %s (Offset %s) is not on a "
      "byte boundary; write Offset %s";
  std::string CheckMemoryOtherTable =
      "memory type %s has no CCM table of its own: CCM reads %s instead; use SNP or SNP-X to read it";
  std::string CheckMemoryCcmOnly =
      "memory type %s exists only in CCM: an SNP or SNP-X PLC answers with an error; choose CCM or another "
      "memory type";
  std::string CheckUnknownMemory =
      "memory type %s is not one of the list; write the code of the table to read (8 for %R)";
  std::string CheckNoMemory =
      "there is no <Memory>, so memory type 1 is read, which is none of the list; write the code of the "
      "table to read (8 for %R)";
  std::string CheckBitReadNotOnByte =
      "the bit read starts at %s (Offset %s), but the answer starts with the whole byte that holds it, so an "
      "item's bit 0 at byte 0 is %s; start at Offset %s or count the bits from there";
  std::string CheckSnpIdTooLong =
      "the SNP ID \"%s\" is longer than 7 characters, and only \"%s\" is sent; write the PLC's SNP ID";
  std::string CheckTooMany = "%s more findings in the configuration are not listed";
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

// A message text with each "%s" replaced by the next argument, in one pass: a "%s" inside an
// argument (a caption may hold one) stays as it is.
std::string FillInMessage(const std::string& format, const std::vector<std::string>& arguments);

}  // namespace kelda
