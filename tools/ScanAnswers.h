// What the PLC's own frames say during a try, read from the line beside the module: the module
// is given the address it sends, so it cannot tell which ID the PLC answered the null ID with,
// nor the status an SNP completion ACK carries. The frames are cut by the wire trace's decoder
// and their checks verified here, so that noise at a wrong line setting never reads as an
// answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/plcsim/PlcSim.h"
#include "tools/trace/FrameDecoder.h"

namespace kelda::host {

struct TWireAnswers {
  bool Opened = false;  // an attach answer (SNP, SNP-X) or an enquiry answer (CCM; peer-to-peer an ACK)
  std::string PlcId;    // the SNP ID in the attach answer
  std::optional<uint16_t> Status;  // the PLC status word of an SNP or SNP-X answer
  std::optional<int> Station;      // CCM master-slave: the station that answered the enquiry last
  std::vector<int> Stations;       // CCM master-slave: every station that answered an enquiry
};

class TScanWire {
public:
  explicit TScanWire(plcsim::Mode protocol);
  void Sent(const std::string& bytes, uint64_t ms);
  void Received(const std::string& bytes, uint64_t ms);
  const TWireAnswers& Answers() const { return FAnswers; }

private:
  void Look(const std::vector<trace::TFrame>& frames);
  void LookSnp(const std::string& frame);
  void LookCcm(const std::string& frame);

  plcsim::Mode FProtocol;
  trace::TFrameDecoder FDecoder;
  TWireAnswers FAnswers;
};

}  // namespace kelda::host
