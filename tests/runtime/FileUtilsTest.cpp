#include <fstream>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "runtime/FileUtils.h"
#include "runtime/QrFile.h"
#include "runtime/RCPtr.h"
#include "runtime/RuntimeTestUtil.h"

using namespace FileUtils;
using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

TEST(FileUtilsPaths, NamePartsOfAPath) {
  EXPECT_EQ("/var/log/a.log", Join("/var/log", "a.log"));
  EXPECT_EQ("/var/log/a.log", Join("/var/log/", "a.log"));
  EXPECT_EQ("a.log", Join("", "a.log"));
  EXPECT_EQ("/", FolderName("/a"));
  EXPECT_EQ(".", FolderName("a.txt"));
  EXPECT_EQ("C:/", FolderName("C:/x"));
  EXPECT_EQ("q.log", FileName("q.log"));
  EXPECT_EQ("noext", BaseName("/v.d/noext"));
  EXPECT_EQ("", Extension("/v.d/noext"));
}

TEST(FileUtilsFiles, ExaminesCreatesAndDeletesFilesAndFolders) {
  mode_t oldMask = umask(077);
  TempDir dir;
  std::string file = dir.Sub("f.txt");
  EXPECT_TRUE(CreateFileWithDefaultAccess(file, false));
  EXPECT_EQ(0640u, ModeOf(file));  // whatever the umask
  std::ofstream(file) << "12345";
  chmod(file.c_str(), 0600);
  EXPECT_TRUE(CreateFileWithDefaultAccess(file, false));  // keeps the content, fixes the mode
  EXPECT_EQ(0640u, ModeOf(file));
  EXPECT_TRUE(Exists(file) && IsFile(file) && !IsFolder(file) && IsFolder(dir.path));
  int64_t size = 0;
  EXPECT_TRUE(FileSize(file, &size) && FileSize(file, nullptr));
  EXPECT_EQ(5, size);
  time_t mtime = 0;
  EXPECT_TRUE(ModTime(file, &mtime));
  EXPECT_GT(mtime, 0);
  EXPECT_FALSE(ModTime(file, nullptr));
  int64_t freeSpace = -1;
  EXPECT_TRUE(DiskFreeSpace(dir.path, &freeSpace));
  EXPECT_GE(freeSpace, 0);
  EXPECT_FALSE(DiskFreeSpace(dir.Sub("missing"), &freeSpace));
  EXPECT_TRUE(CreateFileWithDefaultAccess(file, true));
  EXPECT_TRUE(FileSize(file, &size));
  EXPECT_EQ(0, size);
  EXPECT_FALSE(CreateFileWithDefaultAccess(dir.Sub("no/such/dir"), false));
  for (const std::string& bad : {"/" + std::string(300, 'x'), std::string(), dir.Sub("missing")}) {
    EXPECT_FALSE(Exists(bad) || IsFile(bad) || IsFolder(bad)) << bad;
  }
  // Folders get 0777 whatever the umask, which is left as it was.
  std::string folder = dir.Sub("logs");
  EXPECT_TRUE(CreateFolder(folder));
  EXPECT_EQ(0777u, ModeOf(folder));
  EXPECT_EQ(077u, umask(oldMask));
  EXPECT_TRUE(CreateFolder(folder));  // already there
  EXPECT_FALSE(CreateFolder(dir.Sub("a/b")));
  EXPECT_TRUE(DeleteFolder(folder));
  EXPECT_FALSE(IsFolder(folder));
  // Deleting what is missing succeeds; a folder with something in it stays.
  EXPECT_TRUE(DeleteFile(dir.Sub("missing")) && DeleteFolder(dir.Sub("missing")));
  EXPECT_FALSE(DeleteFolder(dir.path));
  EXPECT_TRUE(DeleteFile(file));
  EXPECT_FALSE(Exists(file));
}

// The per-user folder comes from TMP when TMPDIR is unset, before TEMP; a folder that
// cannot be made leaves the answer unchanged.
TEST(FileUtilsUserTemp, PicksTheFolderFromTheEnvironmentOrLeavesThePathUnchanged) {
  TempDir dir;
  std::string path;
  ScopedEnv user("USER", nullptr), tmpdir("TMPDIR", nullptr), tmp("TMP", dir.path.c_str()),
      temp("TEMP", "/nonexistent-should-not-be-used");
  ASSERT_TRUE(GetQuorinUserTempPath(path));
  EXPECT_EQ(dir.path + "/quorin-default", path);
  ScopedEnv missing("TMPDIR", dir.Sub("missing/deeper").c_str());
  EXPECT_FALSE(GetQuorinUserTempPath(path));
  EXPECT_EQ(dir.path + "/quorin-default", path);
  EXPECT_FALSE(GetProgramDataLogPath(path));
}

TEST(QrFile, OpenNeverCreatesWritesFlushAndAnUnnamedFileFailsSoftly) {
  TempDir dir;
  std::string path = dir.Sub("w.log");
  RCPtr<QrFile> file = new QrFile(path);
  EXPECT_FALSE(file->Open("a") || Exists(path) || file->Write("x") || file->Flush());
  EXPECT_FALSE(RCPtr<QrFile>(new QrFile(dir.path))->Open("r"));
  ASSERT_TRUE(CreateFileWithDefaultAccess(path, true));
  file = new QrFile();
  ASSERT_TRUE(file->SetAbsPath(path));
  ASSERT_TRUE(file->Open("a"));
  EXPECT_TRUE(file->Write("hello ") && file->Write("world") && file->Flush());
  EXPECT_FALSE(file->Write(nullptr));
  int64_t size = 0;
  EXPECT_TRUE(file->Size(&size));
  EXPECT_EQ(11, size);
  EXPECT_TRUE(file->Close() && file->Close());
  EXPECT_TRUE(file->Size(&size));
  EXPECT_EQ(11, size);
  EXPECT_EQ("w/log/w.log/" + dir.path, file->GetBaseName() + "/" + file->GetExtension() + "/" +
                                           file->GetFileName() + "/" + file->GetFolderName());
  EXPECT_TRUE(file->Exists() && file->Delete());
  EXPECT_FALSE(file->Exists());
  RCPtr<QrFile> unnamed = new QrFile();
  path = "kept";
  EXPECT_FALSE(unnamed->GetAbsPath(path));
  EXPECT_EQ("kept", path);
  EXPECT_FALSE(unnamed->SetAbsPath("") || unnamed->Open("r") || unnamed->Size(nullptr) ||
               unnamed->Exists() || unnamed->Delete());
}
