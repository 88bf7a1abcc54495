#include "tools/plcsim/PlcSim.h"

#include <stdexcept>

#include "tools/plcsim/CcmSlave.h"
#include "tools/plcsim/SlaveContext.h"
#include "tools/plcsim/SnpSlave.h"
#include "tools/plcsim/SnpxSlave.h"

namespace kelda::plcsim {

namespace {

constexpr size_t kMaxSnpIdLength = 7;     // plus the terminating NUL in the 8-byte field
constexpr size_t kMaxSnpDataSize = 8192;  // Series 90-70's largest text buffer

Mode CheckedMode(Mode mode) {
  switch (mode) {
    case Mode::CcmMasterSlave:
    case Mode::CcmPeerToPeer:
    case Mode::Snp:
    case Mode::SnpX:
      return mode;
  }
  throw std::invalid_argument("unknown protocol mode");
}

void CheckIds(Mode mode, const std::string& snpId, uint8_t ccmId) {
  if (snpId.size() > kMaxSnpIdLength || snpId.find('\0') != std::string::npos)
    throw std::invalid_argument("SNP ID: up to 7 characters, no NUL");
  // Enquiries carry ID + 20h, so master-slave IDs stop at 90; FFh addresses every peer.
  if (mode == Mode::CcmMasterSlave && (ccmId < 1 || ccmId > 90))
    throw std::invalid_argument("CCM master-slave ID must be 1..90");
  if (mode == Mode::CcmPeerToPeer && (ccmId < 1 || ccmId > 254))
    throw std::invalid_argument("CCM peer ID must be 1..254");
}

std::unique_ptr<Slave> MakeSlave(Mode mode, SlaveContext& context) {
  switch (mode) {
    case Mode::Snp:
      return std::make_unique<SnpSlave>(context);
    case Mode::SnpX:
      return std::make_unique<SnpxSlave>(context);
    default:
      return std::make_unique<CcmSlave>(context);
  }
}

[[noreturn]] void ThrowReadError(ReadError error) {
  switch (error) {
    case ReadError::UnknownSelector:
      throw std::invalid_argument("unknown memory selector or type");
    case ReadError::ZeroLength:
      throw std::invalid_argument("zero length");
    case ReadError::NotAligned:
      throw std::invalid_argument("point address not on a byte boundary");
    default:
      throw std::out_of_range("read past the end of the table");
  }
}

}  // namespace

Simulator::Simulator(Mode mode, std::string snpId, uint8_t ccmId) {
  CheckIds(CheckedMode(mode), snpId, ccmId);
  context_ = std::make_unique<SlaveContext>(mode, std::move(snpId), ccmId);
  slave_ = MakeSlave(mode, *context_);
}

Simulator::~Simulator() = default;
// The slave refers to the context on the heap, so moving both pointers keeps them together.
Simulator::Simulator(Simulator&&) noexcept = default;
Simulator& Simulator::operator=(Simulator&&) noexcept = default;

Mode Simulator::mode() const {
  return context_->mode;
}

void Simulator::setWord(uint8_t selector, uint32_t index, uint16_t value) {
  context_->memory.setWord(selector, index, value);
}
uint16_t Simulator::word(uint8_t selector, uint32_t index) const {
  return context_->memory.word(selector, index);
}
void Simulator::setBit(uint8_t selector, uint32_t index, bool value) {
  context_->memory.setBit(selector, index, value);
}
bool Simulator::bit(uint8_t selector, uint32_t index) const {
  return context_->memory.bit(selector, index);
}
void Simulator::setScratchPad(uint32_t index, uint8_t value) {
  context_->memory.setScratchPad(index, value);
}
void Simulator::setStatusWord(uint32_t index, uint16_t value) {
  context_->memory.setStatusWord(index, value);
}

void Simulator::setPlcStatusWord(uint16_t status) {
  context_->plcStatus = status;
  context_->memory.setRunState(status);
}
uint16_t Simulator::plcStatusWord() const {
  return context_->plcStatus;
}

std::vector<uint8_t> Simulator::readBytes(uint8_t selector, uint32_t offset, uint32_t length) const {
  std::vector<uint8_t> out;
  const ReadError error = context_->memory.read(selector, offset, length, out);
  if (error != ReadError::None) ThrowReadError(error);
  return out;
}

std::vector<uint8_t> Simulator::ccmReadBytes(uint8_t type, uint32_t address, uint32_t byteCount) const {
  std::vector<uint8_t> out;
  const ReadError error = context_->memory.ccmRead(type, address, byteCount, out);
  if (error != ReadError::None) ThrowReadError(error);
  return out;
}

uint32_t Simulator::tableSize(uint8_t selector) const {
  return context_->memory.tableSize(selector);
}

void Simulator::setFaults(const Faults& faults) {
  ValidateFaults(faults);
  context_->faults = faults;
}

Faults& Simulator::faults() {
  return context_->faults;
}

void Simulator::setSnpDataSize(size_t bytes) {
  if (bytes < 1 || bytes > kMaxSnpDataSize) throw std::invalid_argument("SNP data size must be 1..8192");
  context_->snpDataSize = bytes;
}

void Simulator::setCcmLrcIncludesFraming(bool on) {
  context_->ccmLrcIncludesFraming = on;
}
void Simulator::setBreakRequired(bool on) {
  context_->breakRequired = on;
}
void Simulator::setCcmPeerSendsEot(bool on) {
  context_->ccmPeerSendsEot = on;
}
void Simulator::setPrivilegeLevel(uint8_t level) {
  if (level > 4) throw std::invalid_argument("privilege level must be 0..4");
  context_->privilege = level;
}

void Simulator::lineBreak(uint64_t now) {
  ValidateFaults(context_->faults);
  slave_->lineBreak(now);
}

void Simulator::receive(const uint8_t* data, size_t size, uint64_t now) {
  ValidateFaults(context_->faults);
  if (size > 0 && !data) throw std::invalid_argument("no data");
  slave_->receive(data, size, now);
}

std::vector<std::vector<uint8_t>> Simulator::takeOutput(uint64_t now) {
  return context_->takeOutput(now);
}
bool Simulator::hasPendingOutput() const {
  return context_->hasPendingOutput();
}
uint32_t Simulator::snpT1Ms() const {
  return context_->snpT1Ms;
}

bool Simulator::sessionOpen() const {
  return slave_->sessionOpen();
}
const Simulator::Counters& Simulator::counters() const {
  return context_->counters;
}
const std::vector<std::string>& Simulator::log() const {
  return context_->log();
}
uint64_t Simulator::eventCount() const {
  return context_->eventCount();
}

}  // namespace kelda::plcsim
