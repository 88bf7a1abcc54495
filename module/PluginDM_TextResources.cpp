#include "module/PluginDM_TextResources.h"

namespace kelda {

TTextResources::TTextResources(TComponent* owner) : TCustomTextResources(owner) {
  for (std::string* text : {&MsgItemsFormationError,
                            &MsgRequestNotSent,
                            &MsgTransactionFailed,
                            &CauseHandshakeTimeout,
                            &CauseDataTimeout,
                            &CauseCheckFailed,
                            &CauseNak,
                            &CauseSendFailed,
                            &CauseBadAnswer,
                            &CausePlcError,
                            &MsgNoPropertyMap,
                            &MemRegisters,
                            &MemAnalogInputs,
                            &MemAnalogOutputs,
                            &MemDiscreteInputs,
                            &MemDiscreteOutputs,
                            &MemGeniusGlobalData,
                            &MemDiscreteInternals,
                            &MemDiscretesS,
                            &MemDiscretesSA,
                            &MemDiscretesSB,
                            &MemDiscretesSC,
                            &MemScratchPad,
                            &MemStatusWords,
                            &MarkSnpxOnly,
                            &MarkCcmOnly})
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

}  // namespace kelda
