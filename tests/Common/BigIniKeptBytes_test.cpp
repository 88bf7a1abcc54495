// A save keeps every byte it does not write, also in files written by hand in ways the store
// itself never writes: a comment after a section's name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "Common/BigIni.h"

using namespace kelda;

namespace {

class TScratchIni {
public:
  TScratchIni() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::random_device random;
    FPath = (std::filesystem::temp_directory_path() /
             (std::string("kelda_kept_") + info->name() + "_" + std::to_string(random()) + ".ini"))
                .string();
  }
  ~TScratchIni() { std::filesystem::remove(FPath); }
  const std::string& Path() const { return FPath; }
  void Write(const std::string& bytes) const {
    std::ofstream out(FPath, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string Read() const {
    std::ifstream in(FPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

private:
  std::string FPath;
};

// The profile functions of the system read "[Host] ; note" as the section "Host"; a save that
// does not would put a second [Host] after it, which those functions never read.
TEST(BigIniKeptBytes, ACommentAfterASectionNameKeepsTheSection) {
  TScratchIni file;
  file.Write("[Host] ; main window\r\nKey=1\r\n");
  {
    TBigIniFile ini(file.Path());
    EXPECT_EQ(ini.ReadString("Host", "Key", "?"), "1");
    ini.WriteString("Host", "Key", "2");
  }
  EXPECT_EQ(file.Read(), "[Host] ; main window\r\nKey=2\r\n");
}

}  // namespace
