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
    writer.Close();
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
    EXPECT_FALSE(ReadWholeFile(path).has_value());          // a new file appears only when complete
    EXPECT_THROW(TFileWriter{path}, kelda::EFCreateError);  // nor is it written twice at once
    writer.Write(std::string(" part"));
    writer.Close();
  }
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "first part");
  {
    TFileWriter writer(path);
    writer.Write(std::string("next"));
    EXPECT_THROW(ReadWholeFile(path), kelda::EInOutError);  // the file being replaced is not read
    EXPECT_THROW(TFileWriter{path}, kelda::EFCreateError);  // nor replaced by another writer
    writer.Close();
  }
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "next");

  ASSERT_TRUE(SetFileReadOnly(path, true));
  EXPECT_THROW(TFileWriter{path}, kelda::EFCreateError);
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "next");
  ASSERT_TRUE(SetFileReadOnly(path, false));
  {
    TFileWriter writer(path);
    writer.Write(std::string("second"));
    writer.Close();
  }
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "second");
  EXPECT_TRUE(DeleteFileAt(path));
  EXPECT_FALSE(SetFileReadOnly(path, true));
}

// Lifts the writers' size limit again however the test ends.
struct TWriteLimit {
  explicit TWriteLimit(std::size_t bytes) { SetFileWriteLimit(bytes); }
  ~TWriteLimit() { SetFileWriteLimit(NoFileWriteLimit); }
};

TEST(File, AFailedOrUnfinishedWriteLeavesTheOldFileWhole) {
  const std::string path = "kelda_file_test_atomic.bin";
  const std::string old = "the old content, every byte of it";
  {
    TFileWriter writer(path);
    writer.Write(old);
    writer.Close();
  }
  {
    // The disk fills up half-way: the writer says so and the old file is untouched.
    TWriteLimit limit(10);
    TFileWriter writer(path);
    writer.Write(std::string("new"));
    EXPECT_THROW(writer.Write(std::string("content past the limit")), kelda::EInOutError);
    EXPECT_THROW(writer.Close(), kelda::EInOutError);  // nothing half-written is put in place
  }
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), old);
  EXPECT_FALSE(FileExists(path + ".tmp"));  // no leftovers beside it
  {
    // A writer abandoned before Close (an exception on the way) changes nothing either.
    TFileWriter writer(path);
    writer.Write(std::string("abandoned"));
  }
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), old);
  EXPECT_FALSE(FileExists(path + ".tmp"));
  {
    // Without the limit the same content goes through, and the next writer is not hindered.
    TFileWriter writer(path);
    writer.Write(std::string("new content past the limit"));
    writer.Close();
  }
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "new content past the limit");

#ifndef _WIN32
  // The owner's permissions survive the replacement.
  namespace fs = std::filesystem;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  {
    TFileWriter writer(path);
    writer.Write(std::string("again"));
    writer.Close();
  }
  EXPECT_EQ(fs::status(path).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
  EXPECT_TRUE(DeleteFileAt(path));
}
