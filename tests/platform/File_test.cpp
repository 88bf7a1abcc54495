#include "platform/File.h"

#include <gtest/gtest.h>

#include "Common/Exceptions.h"

using namespace kelda::platform;

TEST(File, WriterCreatesAnewAndReaderSeesEveryByte) {
  const std::string path = "kelda_file_test.bin";
  {
    TFileWriter writer(path);
    writer.Write(std::string("old content that is longer"));
  }
  std::string bytes("a\0b\r\n\x1A\xFF", 7);
  {
    TFileWriter writer(path);
    writer.Write(bytes);
    writer.Close();
  }
  EXPECT_TRUE(FileExists(path));
  auto read = ReadWholeFile(path);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, bytes);
  EXPECT_TRUE(DeleteFileAt(path));
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(ReadWholeFile(path).has_value());
}

TEST(File, CreatingInAMissingFolderFailsWithTheCreateError) {
  EXPECT_THROW(TFileWriter("no_such_folder_kelda/x.ini"), kelda::EFCreateError);
  EXPECT_FALSE(FileExists("."));  // a folder is not a file
}
