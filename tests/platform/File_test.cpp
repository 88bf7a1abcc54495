#include "platform/File.h"

#include <gtest/gtest.h>

#include <filesystem>

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

TEST(File, UnreadableIsNotMissing) {
  const std::string folder = "kelda_file_test_folder";
  std::filesystem::create_directory(folder);
  EXPECT_THROW(ReadWholeFile(folder), kelda::EInOutError);
  std::filesystem::remove(folder);
  EXPECT_FALSE(ReadWholeFile("no_such_folder_kelda/x.ini").has_value());
}

TEST(File, WritersKeepOthersOutAndReadOnlyFilesStayAsTheyAre) {
  const std::string path = "kelda_file_test_shared.bin";
  {
    TFileWriter writer(path);
    writer.Write(std::string("first"));
    EXPECT_THROW(ReadWholeFile(path), kelda::EInOutError);  // half-written files are not read
    EXPECT_THROW(TFileWriter{path}, kelda::EFCreateError);  // nor overwritten meanwhile
    writer.Write(std::string(" part"));
    writer.Close();
  }
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "first part");

  ASSERT_TRUE(SetFileReadOnly(path, true));
  EXPECT_THROW(TFileWriter{path}, kelda::EFCreateError);
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "first part");
  ASSERT_TRUE(SetFileReadOnly(path, false));
  TFileWriter(path).Write(std::string("second"));
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "second");
  EXPECT_TRUE(DeleteFileAt(path));
  EXPECT_FALSE(SetFileReadOnly(path, true));
}
