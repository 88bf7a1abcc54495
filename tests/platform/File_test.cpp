#include "platform/File.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Exceptions.h"

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
  DeleteFileAt(path);  // left by an earlier run that failed half-way
  {
    TFileWriter writer(path);
    writer.Write(std::string("first"));
    EXPECT_FALSE(ReadWholeFile(path).has_value());  // a new file appears only when complete
    {
      // A second writer of the new file writes its own bytes; the last to close wins, whole.
      TFileWriter other(path);
      other.Write(std::string("other content"));
      other.Close();
    }
    EXPECT_EQ(ReadWholeFile(path).value_or("?"), "other content");
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

// The writer's temporary file has a name of its own: files that carry the names it would use
// (another program's, or one left by a crash) are neither written nor removed, and the writer
// leaves none of its own behind.
TEST(File, TemporaryNamesNeverTouchAnotherFile) {
  namespace fs = std::filesystem;
  const std::string path = "kelda_file_test_tempname.ini";
  const std::string plainName = path + ".tmp";
  const std::string firstName = TemporaryFileName(path, 0);
  for (const std::string& stale : {path, plainName, firstName}) DeleteFileAt(stale);
  EXPECT_NE(firstName, TemporaryFileName(path, 1));
  EXPECT_EQ(firstName.substr(0, path.size()), path) << "beside the file, in its folder";
  auto plant = [](const std::string& name, const std::string& bytes) {
    TFileWriter writer(name);
    writer.Write(bytes);
    writer.Close();
  };
  plant(plainName, "someone else's");
  plant(firstName, "left by a crash");
  for (const std::string content : {"new file", "replaced"}) {
    TFileWriter writer(path);
    writer.Write(content);
    writer.Close();
    EXPECT_EQ(ReadWholeFile(path).value_or("?"), content);
  }
  {
    TFileWriter abandoned(path);
    abandoned.Write(std::string("never in place"));
  }
  {
    TWriteLimit limit(4);
    TFileWriter failing(path);
    EXPECT_THROW(failing.Write(std::string("too long for the disk")), kelda::EInOutError);
  }
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "replaced");
  EXPECT_EQ(ReadWholeFile(plainName).value_or("?"), "someone else's");
  EXPECT_EQ(ReadWholeFile(firstName).value_or("?"), "left by a crash");
  int files = 0;
  for (const auto& entry : fs::directory_iterator("."))
    files += entry.path().filename().string().rfind(path, 0) == 0 ? 1 : 0;
  EXPECT_EQ(files, 3) << "the file and the two planted ones, no temporary file of the writer";
  EXPECT_TRUE(DeleteFileAt(path));
  EXPECT_TRUE(DeleteFileAt(plainName));
  EXPECT_TRUE(DeleteFileAt(firstName));
}

// A save keeps what the user set on the file: the attributes (and, through ReplaceFile, the
// security) on Windows, the permission bits on POSIX.
TEST(File, AReplacedFileKeepsWhatTheUserSetOnIt) {
  const std::string path = "kelda_file_test_kept.ini";
  SetFileMode(path, 0x80);  // left by an earlier run that failed half-way
  DeleteFileAt(path);
  auto save = [&](const std::string& content) {
    TFileWriter writer(path);
    writer.Write(content);
    writer.Close();
    return writer.Note();
  };
  EXPECT_EQ(save("first"), "");
#ifdef _WIN32
  constexpr uint32_t kHidden = 0x2, kSystem = 0x4;
  const uint32_t userSet = kHidden | kSystem;
  ASSERT_TRUE(SetFileMode(path, FileMode(path).value_or(0) | userSet));
  ASSERT_EQ(FileMode(path).value_or(0) & userSet, userSet) << "the file system keeps attributes";
  EXPECT_EQ(save("second"), "") << "replaced in place, nothing lost";
  EXPECT_EQ(FileMode(path).value_or(0) & userSet, userSet);
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "second");

  // Where the file system cannot replace a file in place, the content still arrives with the
  // attributes, and the writer says what it could not keep.
  SetReplaceFileRefused(true);
  const std::string note = save("third");
  SetReplaceFileRefused(false);
  EXPECT_NE(note.find("security"), std::string::npos) << note;
  EXPECT_EQ(FileMode(path).value_or(0) & userSet, userSet);
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "third");
  ASSERT_TRUE(SetFileMode(path, 0x80));  // normal, so that it can be removed
#else
  ASSERT_TRUE(SetFileMode(path, 0604));
  EXPECT_EQ(save("second"), "");
  EXPECT_EQ(FileMode(path).value_or(0), 0604u);
  EXPECT_EQ(ReadWholeFile(path).value_or("?"), "second");
#endif
  EXPECT_TRUE(DeleteFileAt(path));
  EXPECT_FALSE(FileMode(path).has_value());
}
