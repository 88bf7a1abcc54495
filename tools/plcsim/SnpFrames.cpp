#include "tools/plcsim/SnpFrames.h"

#include "tools/plcsim/Checks.h"

namespace kelda::plcsim {

size_t SnpMessageLength(uint8_t type) {
  switch (type) {
    case 'A':
    case 'X':
      return 24;
    case 'M':
    case 'I':
      return 40;
    default:
      return 0;
  }
}

std::string SnpIdText(const uint8_t* id) {
  std::string text;
  for (size_t i = 0; i < 8 && id[i] != 0; ++i) text.push_back(static_cast<char>(id[i]));
  return text;
}

std::vector<uint8_t> SnpIdField(const std::string& id) {
  std::vector<uint8_t> field(8, 0);
  for (size_t i = 0; i < id.size() && i < 8; ++i) field[i] = static_cast<uint8_t>(id[i]);
  return field;
}

void PutLe16(std::vector<uint8_t>& frame, size_t at, uint16_t value) {
  frame[at] = static_cast<uint8_t>(value & 0xFF);
  frame[at + 1] = static_cast<uint8_t>(value >> 8);
}

std::vector<uint8_t> SnpAttachResponse(const std::string& id, uint16_t t1) {
  std::vector<uint8_t> frame = {kEsc, 'R'};
  const std::vector<uint8_t> field = SnpIdField(id);
  frame.insert(frame.end(), field.begin(), field.end());
  const std::string t1Text = HexText(t1 & 0xFF, 2) + HexText(t1 >> 8, 2);
  frame.insert(frame.end(), t1Text.begin(), t1Text.end());
  frame.insert(frame.end(), {'0', ' ', ' ', ' ', kEtb, 0x00, 0x00, 0x00});
  const std::string bcc = HexText(snpBcc(frame.data(), frame.size()), 2);
  frame.insert(frame.end(), bcc.begin(), bcc.end());
  return frame;
}

std::vector<uint8_t> MailboxSkeleton(uint8_t sequence, uint8_t type, const uint8_t* source,
                                     const uint8_t* destination) {
  std::vector<uint8_t> m(40, 0);
  m[0] = kEsc;
  m[1] = 'M';
  m[8] = sequence;
  m[9] = type;
  for (size_t i = 0; i < 4; ++i) {
    m[10 + i] = source[i];
    m[14 + i] = destination[i];
  }
  m[18] = 0x01;  // packet 1 of 1
  m[19] = 0x01;
  m[34] = kEtb;
  return m;
}

void PutPiggyback(std::vector<uint8_t>& mailbox, const Piggyback& status) {
  mailbox[28] = 0x00;  // control program 0 logged in
  mailbox[29] = status.privilege;
  mailbox[30] = 0x00;  // last sweep time
  mailbox[31] = 0x00;
  PutLe16(mailbox, 32, status.plcStatus);
}

std::vector<uint8_t> SealMessage(std::vector<uint8_t> message) {
  message[message.size() - 6] = kEtb;
  message.back() = snpBcc(message.data(), message.size() - 1);
  return message;
}

std::vector<uint8_t> TextBuffer(const uint8_t* data, size_t size, uint16_t nextLength) {
  std::vector<uint8_t> t = {kEsc, 'T'};
  t.insert(t.end(), data, data + size);
  t.insert(t.end(), {kEtb, 0x00, 0x00, 0x00, 0x00, 0x00});
  // The trailer announces the whole next message (data + 8), or nothing.
  if (nextLength != 0) {
    t[t.size() - 5] = 'T';
    PutLe16(t, t.size() - 4, nextLength);
  }
  return SealMessage(std::move(t));
}

std::deque<std::vector<uint8_t>> TextBuffers(const std::vector<uint8_t>& data, size_t dataSize,
                                             uint16_t lengthAfterLast) {
  std::deque<std::vector<uint8_t>> buffers;
  for (size_t at = 0; at < data.size(); at += dataSize) {
    const size_t size = at + dataSize < data.size() ? dataSize : data.size() - at;
    const size_t following = data.size() - at - size;
    const uint16_t next = following == 0
                              ? lengthAfterLast
                              : static_cast<uint16_t>((following < dataSize ? following : dataSize) + 8);
    buffers.push_back(TextBuffer(data.data() + at, size, next));
  }
  return buffers;
}

std::vector<uint8_t> XAttachResponse(const std::string& id) {
  std::vector<uint8_t> frame = {kEsc, 'X'};
  const std::vector<uint8_t> field = SnpIdField(id);
  frame.insert(frame.end(), field.begin(), field.end());
  frame.push_back(0x80);
  frame.insert(frame.end(), 7, 0x00);
  frame.insert(frame.end(), {kEtb, 0x00, 0x00, 0x00, 0x00, 0x00});
  return SealMessage(std::move(frame));
}

std::vector<uint8_t> XResponse(uint8_t requestCode, uint16_t plcStatus, uint8_t major, uint8_t minor,
                               const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame = {kEsc, 'X', static_cast<uint8_t>(requestCode | 0x80), 0, 0, major, minor,
                                0,    0};
  PutLe16(frame, 3, plcStatus);
  PutLe16(frame, 7, static_cast<uint16_t>(data.size()));
  frame.insert(frame.end(), data.begin(), data.end());
  frame.insert(frame.end(), {kEtb, 0x00, 0x00, 0x00, 0x00, 0x00});
  return SealMessage(std::move(frame));
}

}  // namespace kelda::plcsim
