#include "module/PluginDM_TextResources.h"

namespace kelda {

TTextResources::TTextResources(TComponent* owner)
    : TComponent(owner), FTexts{&MsgItemsFormationError, &MemRegisters,
                                &MemAnalogInputs,        &MemAnalogOutputs,
                                &MemDiscreteInputs,      &MemDiscreteOutputs,
                                &MemGeniusGlobalData,    &MemDiscreteInternals,
                                &MemDiscretesS,          &MemDiscretesSA,
                                &MemDiscretesSB,         &MemDiscretesSC,
                                &MemScratchPad,          &MemStatusWords,
                                &MarkSnpxOnly,           &MarkCcmOnly} {}

}  // namespace kelda
