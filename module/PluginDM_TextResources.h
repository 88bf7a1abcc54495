// TTextResources: the module's user-visible texts that do not belong to a form: the messages and
// the captions and protocol marks of the memory type list. Each text is a field holding its
// English wording; the fields are registered in declaration order so that a translation can
// walk and replace them, and every reader takes the current wording from the fields.
#pragma once

#include <string>
#include <vector>

#include "Common/Component.h"

namespace kelda {

class TTextResources : public TComponent {
public:
  explicit TTextResources(TComponent* owner);

  // The registered texts, in declaration order.
  const std::vector<std::string*>& Texts() const { return FTexts; }

  std::string MsgItemsFormationError = "Error on items formation (%s)";
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

private:
  std::vector<std::string*> FTexts;
};

}  // namespace kelda
