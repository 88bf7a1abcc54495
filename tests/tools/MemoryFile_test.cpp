#include "tools/plcsim/MemoryFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using kelda::plcsim::LoadMemoryFile;
using kelda::plcsim::LoadMemoryText;
using kelda::plcsim::MemoryFileError;
using kelda::plcsim::Mode;
using kelda::plcsim::SaveMemoryFile;
using kelda::plcsim::SaveMemoryText;
using kelda::plcsim::Simulator;

namespace {

constexpr uint8_t kR = 0x08, kAI = 0x0A, kAQ = 0x0C;
constexpr uint8_t kBitTables[] = {0x46, 0x48, 0x4A, 0x4C, 0x4E, 0x50, 0x52, 0x54, 0x56};

std::string LoadError(const std::string& text) {
  Simulator sim(Mode::SnpX);
  try {
    LoadMemoryText(text, "memory.txt", sim);
  } catch (const MemoryFileError& e) {
    return e.what();
  }
  return "(loaded)";
}

// Every element of every table and the status word agree.
void ExpectSameMemory(const Simulator& a, const Simulator& b) {
  EXPECT_EQ(a.plcStatusWord(), b.plcStatusWord());
  for (uint8_t t : {kR, kAI, kAQ})
    for (uint32_t i = 0; i < a.tableSize(t); ++i)
      ASSERT_EQ(a.word(t, i), b.word(t, i)) << "selector " << int(t) << " index " << i;
  for (uint8_t t : kBitTables)
    for (uint32_t i = 0; i < a.tableSize(t); ++i)
      ASSERT_EQ(a.bit(t, i), b.bit(t, i)) << "selector " << int(t) << " index " << i;
}

}  // namespace

TEST(MemoryFile, LoadsWordsBitsAndStatusCountingFromOne) {
  Simulator sim(Mode::SnpX);
  LoadMemoryText(
      "# line one is a comment\n"
      "%R1 = 1200 1250 1190 -125 0x1F4   # five registers\n"
      "\n"
      "   %AI1 = 7\r\n"
      "%AQ3=0x10\n"
      "%I1 = 1 0 1 1\n"
      "%q9 = 1\n"
      "%M4096 = 1\n"
      "%T2 = 1\n"
      "%G1 = 0 1\n"
      "%S3 = 1\n"
      "%SA1 = 1\n"
      "%SB2 = 1\n"
      "%SC128 = 1\n"
      "%R32640 = 65535\n"
      "STATUS = 0x0012\n",
      "memory.txt", sim);
  EXPECT_EQ(sim.word(kR, 0), 1200);
  EXPECT_EQ(sim.word(kR, 1), 1250);
  EXPECT_EQ(sim.word(kR, 2), 1190);
  EXPECT_EQ(sim.word(kR, 3), 0xFF83);
  EXPECT_EQ(sim.word(kR, 4), 0x1F4);
  EXPECT_EQ(sim.word(kR, 5), 0);
  EXPECT_EQ(sim.word(kR, 32639), 0xFFFF);
  EXPECT_EQ(sim.word(kAI, 0), 7);
  EXPECT_EQ(sim.word(kAQ, 1), 0);
  EXPECT_EQ(sim.word(kAQ, 2), 0x10);
  EXPECT_TRUE(sim.bit(0x46, 0));
  EXPECT_FALSE(sim.bit(0x46, 1));
  EXPECT_TRUE(sim.bit(0x46, 2));
  EXPECT_TRUE(sim.bit(0x46, 3));
  EXPECT_FALSE(sim.bit(0x46, 4));
  EXPECT_TRUE(sim.bit(0x48, 8));
  EXPECT_TRUE(sim.bit(0x4C, 4095));
  EXPECT_TRUE(sim.bit(0x4A, 1));
  EXPECT_FALSE(sim.bit(0x56, 0));
  EXPECT_TRUE(sim.bit(0x56, 1));
  EXPECT_TRUE(sim.bit(0x54, 2));
  EXPECT_TRUE(sim.bit(0x4E, 0));
  EXPECT_TRUE(sim.bit(0x50, 1));
  EXPECT_TRUE(sim.bit(0x52, 127));
  EXPECT_FALSE(sim.bit(0x54, 0));  // %SA1 is not %S1
  EXPECT_EQ(sim.plcStatusWord(), 0x12);
  // The values are what the protocol reads put on the wire.
  EXPECT_EQ(sim.readBytes(kR, 0, 2), (std::vector<uint8_t>{0xB0, 0x04, 0xE2, 0x04}));
}

TEST(MemoryFile, ByteOrderMarkOfAnEditorIsNotPartOfLineOne) {
  Simulator sim(Mode::SnpX);
  LoadMemoryText("\xEF\xBB\xBF%R1 = 42\r\n", "notepad.txt", sim);
  EXPECT_EQ(sim.word(0x08, 0), 42);
}

TEST(MemoryFile, FaultsNameFileAndLineAndChangeNothing) {
  EXPECT_EQ(LoadError("# ok\n%R1 = 1\n%X1 = 3\n"),
            "memory.txt:3: unknown table %X (use %R %AI %AQ %I %Q %M %T %G %S %SA %SB %SC)");
  const struct {
    const char* text;
    const char* expected;
  } kCases[] = {
      {"%R0 = 1", "memory.txt:1: %R0 does not exist"},
      {"%R = 1", "memory.txt:1: \"%R\" has no reference number"},
      {"%R1x = 1", "memory.txt:1: \"%R1x\" has no reference number"},
      {"\n%R32640 = 1 2", "memory.txt:2: %R32640 with 2 values passes the end of %R (32640 words)"},
      {"%AI2049 = 1", "memory.txt:1: %AI2049 with 1 values passes the end of %AI"},
      {"%I2049 = 1", "memory.txt:1: %I2049 with 1 values passes the end of %I (2048 bits)"},
      {"%R1 = 70000", "memory.txt:1: value \"70000\" is not a word"},
      {"%R1 = -32769", "memory.txt:1: value \"-32769\" is not a word"},
      {"%R1 = 0x", "memory.txt:1: value \"0x\" is not a word"},
      {"%R1 = 0x10000", "memory.txt:1: value \"0x10000\" is not a word"},
      {"%R1 = 12abc", "memory.txt:1: value \"12abc\" is not a word"},
      {"%I1 = 1 2", "memory.txt:1: bit value \"2\" is not 0 or 1"},
      {"%R1 1 2", "memory.txt:1: expected \"%R1 = value ...\""},
      {"%R1 =   # nothing", "memory.txt:1: no value after \"=\""},
      {"STATUS = 1 2", "memory.txt:1: STATUS takes one value"},
      {"R1 = 5", "memory.txt:1: \"R1\" is not a reference"},
  };
  for (const auto& c : kCases) {
    const std::string error = LoadError(c.text);
    EXPECT_EQ(error.rfind(c.expected, 0), 0u) << c.text << " gave: " << error;
  }

  // A fault on a later line leaves the memory as it was: a half-loaded PLC would answer with
  // values nobody wrote.
  Simulator sim(Mode::SnpX);
  sim.setWord(kR, 0, 42);
  EXPECT_THROW(LoadMemoryText("%R1 = 7\nSTATUS = 3\n%R2 = x\n", "m.txt", sim), MemoryFileError);
  EXPECT_EQ(sim.word(kR, 0), 42);
  EXPECT_EQ(sim.plcStatusWord(), 0);

  // An unreadable file names itself.
  try {
    LoadMemoryFile("no-such-dir/memory.txt", sim);
    ADD_FAILURE() << "a missing file loaded";
  } catch (const MemoryFileError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("no-such-dir/memory.txt: cannot read", 0), 0u) << e.what();
  }
}

TEST(MemoryFile, SavedMemoryLoadsBackTheSame) {
  Simulator fresh(Mode::Snp);
  // A fresh PLC saves its status word only.
  EXPECT_EQ(SaveMemoryText(fresh).find('%'), std::string::npos) << SaveMemoryText(fresh);

  Simulator sim(Mode::Snp);
  sim.setPlcStatusWord(0xA5C3);
  for (uint32_t i = 0; i < 40; ++i)
    sim.setWord(kR, 100 + i, static_cast<uint16_t>(i * 1000 + 1));  // long run
  sim.setWord(kR, 0, 0xFFFF);
  sim.setWord(kR, 3, 0x8000);  // short gap
  sim.setWord(kR, 20, 5);      // long gap
  sim.setWord(kR, 32639, 9);   // the last register
  sim.setWord(kAI, 2047, 1);
  sim.setWord(kAQ, 0, 0x1234);
  for (uint8_t t : kBitTables) {
    const uint32_t size = sim.tableSize(t);
    sim.setBit(t, 0, true);
    sim.setBit(t, 2, true);
    sim.setBit(t, size - 1, true);
    for (uint32_t i = 30; i < 60 && i < size; i += 3) sim.setBit(t, i, true);
  }
  const std::string text = SaveMemoryText(sim);
  EXPECT_NE(text.find("%R1 = 65535 0 0 32768\n"), std::string::npos) << text;
  EXPECT_NE(text.find("STATUS = 0xA5C3\n"), std::string::npos) << text;

  Simulator loaded(Mode::Snp);
  LoadMemoryText(text, "saved.txt", loaded);
  ExpectSameMemory(sim, loaded);

  // Through a file, replacing an older one.
  const auto path = std::filesystem::temp_directory_path() / "kelda-memoryfile-test.txt";
  std::ofstream(path) << "%R1 = 1\n";
  SaveMemoryFile(path.string(), sim);
  Simulator fromFile(Mode::Snp);
  LoadMemoryFile(path.string(), fromFile);
  ExpectSameMemory(sim, fromFile);
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".saving"));
  std::filesystem::remove(path);
}
