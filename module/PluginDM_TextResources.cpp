#include "module/PluginDM_TextResources.h"

namespace kelda {

TTextResources::TTextResources(TComponent* owner) : TCustomTextResources(owner) {
  for (std::string* text :
       {&MsgItemsFormationError, &MsgRequestNotSent,   &MsgTransactionFailed, &MsgPollingThreadStopped,
        &CauseHandshakeTimeout,  &CauseDataTimeout,    &CauseCheckFailed,     &CauseNak,
        &CauseSendFailed,        &CauseBadAnswer,      &CausePlcError,        &MsgNoPropertyMap,
        &MemRegisters,           &MemAnalogInputs,     &MemAnalogOutputs,     &MemDiscreteInputs,
        &MemDiscreteOutputs,     &MemGeniusGlobalData, &MemDiscreteInternals, &MemDiscretesS,
        &MemDiscretesSA,         &MemDiscretesSB,      &MemDiscretesSC,       &MemScratchPad,
        &MemStatusWords,         &MarkSnpxOnly,        &MarkCcmOnly})
    RegisterText(text);
  RegisterText(&MsgRequestCutOff);
  for (std::string* text : {&CheckInRequest,
                            &CheckInItem,
                            &CheckCutOff,
                            &CheckRequestCutOff,
                            &CheckNoQuery,
                            &CheckUnknownElement,
                            &CheckUnknownAttribute,
                            &CheckUnknownDataType,
                            &CheckUnknownPollUnits,
                            &CheckUnknownCheckOff,
                            &CheckUnknownCheckDefault,
                            &CheckNoCheck,
                            &CheckNoEnabled,
                            &CheckBooleanText,
                            &CheckNotANumber,
                            &CheckFieldFromResponse,
                            &CheckItemPastRead,
                            &CheckTextTooShort,
                            &CheckCcmAddressNotStation,
                            &CheckCcmAddressRange,
                            &CheckCcmOffsetZero,
                            &CheckCcmBitNotOnByte,
                            &CheckMemoryOtherTable,
                            &CheckMemoryCcmOnly,
                            &CheckUnknownMemory,
                            &CheckNoMemory,
                            &CheckBitReadNotOnByte,
                            &CheckSnpIdTooLong,
                            &CheckTooMany})
    RegisterText(text);
  for (std::string* text : {&ProtoCcmMasterSlave, &ProtoCcmPeerToPeer, &ProtoSnp, &ProtoSnpX,
                            &ItemSourceAddress, &ItemTargetAddress, &ItemMemory, &ItemMemoryAddress})
    RegisterText(text);
  for (std::string* text : {&FormProtocol,    &FormSourceAddress,
                            &FormMinInterval, &FormRequestsQueue,
                            &MsgReq,          &MsgSendReq,
                            &MsgDevAddr,      &MsgFunc,
                            &MsgDataAddress,  &MsgRegRead,
                            &MsgRegReadHint,  &MsgReqTimeout,
                            &MsgReqMethod,    &MsgMOnce,
                            &MsgPolling,      &MsgPollInt,
                            &MsgPollUnits,    &TxtMillisecond,
                            &TxtSecond,       &TxtMinute,
                            &TxtHour,         &MsgResponseItems,
                            &MsgResponseItem, &MsgName,
                            &MsgOffset,       &MsgOffsetHint,
                            &MsgCount,        &MsgAppendCnt,
                            &MsgZeroBaseCnt,  &MsgDataType,
                            &MsgDec,          &MsgF32,
                            &MsgF64,          &MsgS,
                            &MsgBIT,          &MsgD8,
                            &MsgD16,          &MsgD32,
                            &MsgD64,          &MsgLE,
                            &MsgUnsigned,     &MsgSwapped,
                            &MsgScale,        &MsgDefault})
    RegisterText(text);
}

std::string FillInMessage(const std::string& format, const std::vector<std::string>& arguments) {
  std::string text;
  auto next = arguments.begin();
  std::size_t from = 0;
  for (std::size_t at = format.find("%s"); at != std::string::npos && next != arguments.end();
       at = format.find("%s", from)) {
    text.append(format, from, at - from);
    text += *next++;
    from = at + 2;
  }
  text.append(format, from, std::string::npos);
  return text;
}

}  // namespace kelda
