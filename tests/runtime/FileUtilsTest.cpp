#include <fstream>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "runtime/FileUtils.h"
#include "runtime/QrFile.h"
#include "runtime/RCPtr.h"
#include "runtime/RuntimeTestEnv.h"

using namespace FileUtils;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Sets the process umask for the scope of a test, restoring the previous one.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : m_old(umask(mask)) {}
  ~ScopedUmask() { umask(m_old); }

 private:
  mode_t m_old;
};

}  // namespace

TEST(FileUtilsPaths, JoinAddsOneSeparator) {
  EXPECT_EQ("/var/log/a.log", Join("/var/log", "a.log"));
  EXPECT_EQ("/var/log/a.log", Join("/var/log/", "a.log"));
  EXPECT_EQ("a.log", Join("", "a.log"));
}

TEST(FileUtilsPaths, NamePartsOfAPath) {
  EXPECT_EQ("/", FolderName("/a"));
  EXPECT_EQ(".", FolderName("a.txt"));
  EXPECT_EQ("C:/", FolderName("C:/x"));
  EXPECT_EQ("/var/log", FolderName("/var/log/q.log"));
  EXPECT_EQ("q.log", FileName("/var/log/q.log"));
  EXPECT_EQ("q.log", FileName("q.log"));
  EXPECT_EQ("", FileName("/var/"));
  EXPECT_EQ("q.1", BaseName("/v.d/q.1.log"));
  EXPECT_EQ("log", Extension("/v.d/q.1.log"));
  EXPECT_EQ("", Extension("/v.d/noext"));
  EXPECT_EQ("noext", BaseName("/v.d/noext"));
}

TEST(FileUtilsFiles, ExaminesFilesAndFolders) {
  TempDir dir;
  std::string file = dir.Sub("f.txt");
  std::ofstream(file) << "12345";
  EXPECT_TRUE(Exists(file));
  EXPECT_TRUE(IsFile(file));
  EXPECT_FALSE(IsFolder(file));
  EXPECT_TRUE(IsFolder(dir.Path()));
  EXPECT_FALSE(Exists(dir.Sub("missing")));
  int64_t size = 0;
  EXPECT_TRUE(FileSize(file, &size));
  EXPECT_EQ(5, size);
  EXPECT_TRUE(FileSize(file, nullptr));
  time_t mtime = 0;
  EXPECT_TRUE(ModTime(file, &mtime));
  EXPECT_GT(mtime, 0);
  EXPECT_FALSE(ModTime(file, nullptr));
  int64_t freeSpace = -1;
  EXPECT_TRUE(DiskFreeSpace(dir.Path(), &freeSpace));
  EXPECT_GE(freeSpace, 0);
  EXPECT_FALSE(DiskFreeSpace(dir.Sub("missing"), &freeSpace));
}

TEST(FileUtilsFiles, OverlongPathsAreRefused) {
  std::string longPath = "/" + std::string(300, 'x');
  EXPECT_FALSE(Exists(longPath));
  EXPECT_FALSE(IsFile(longPath));
  EXPECT_FALSE(IsFolder(longPath));
  EXPECT_FALSE(Exists(""));
}

TEST(FileUtilsFiles, CreateFileGivesMode0640AndKeepsOrEmptiesContent) {
  ScopedUmask mask(077);
  TempDir dir;
  std::string file = dir.Sub("log.txt");
  ASSERT_TRUE(CreateFileWithDefaultAccess(file, false));
  EXPECT_EQ(0640u, ModeOf(file));
  std::ofstream(file) << "keep";
  chmod(file.c_str(), 0600);
  ASSERT_TRUE(CreateFileWithDefaultAccess(file, false));
  EXPECT_EQ(0640u, ModeOf(file));
  std::string data;
  ASSERT_TRUE(ReadFileIntoString(file, &data, false));
  EXPECT_EQ("keep", data);
  ASSERT_TRUE(CreateFileWithDefaultAccess(file, true));
  ASSERT_TRUE(ReadFileIntoString(file, &data, false));
  EXPECT_EQ("", data);
  EXPECT_FALSE(CreateFileWithDefaultAccess(dir.Sub("no/such/dir"), false));
}

TEST(FileUtilsFiles, CreateFolderIgnoresAndRestoresTheUmask) {
  ScopedUmask mask(022);
  TempDir dir;
  std::string folder = dir.Sub("logs");
  EXPECT_TRUE(CreateFolder(folder));
  EXPECT_EQ(0777u, ModeOf(folder));
  EXPECT_EQ(022u, umask(022));
  EXPECT_TRUE(CreateFolder(folder));  // already there
  EXPECT_FALSE(CreateFolder(dir.Sub("a/b")));
  EXPECT_TRUE(DeleteFolder(folder));
  EXPECT_FALSE(IsFolder(folder));
}

TEST(FileUtilsFiles, DeletingWhatIsMissingSucceeds) {
  TempDir dir;
  EXPECT_TRUE(DeleteFile(dir.Sub("missing")));
  EXPECT_TRUE(DeleteFolder(dir.Sub("missing")));
  std::string file = dir.Sub("f");
  std::ofstream(file) << "x";
  EXPECT_TRUE(DeleteFile(file));
  EXPECT_FALSE(Exists(file));
  std::ofstream(dir.Sub("inner")) << "x";
  EXPECT_FALSE(DeleteFolder(dir.Path()));  // not empty
}

TEST(FileUtilsFiles, ReadsWholeBinaryFiles) {
  TempDir dir;
  std::string file = dir.Sub("bin");
  std::string content;
  for (int i = 0; i < 5000; ++i) content.push_back(static_cast<char>(i % 256));
  std::ofstream(file, std::ios::binary) << content;
  std::string data = "stale";
  ASSERT_TRUE(ReadFileIntoString(file, &data, true));
  EXPECT_EQ(content, data);
  EXPECT_FALSE(ReadFileIntoString(dir.Sub("missing"), &data, true));
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(ReadFileIntoString(file, nullptr, true));
}

TEST(FileUtilsUserTemp, FallsBackToTmpAndDefaultUser) {
  ScopedUmask mask(022);
  TempDir root;
  ScopedEnv user("USER", nullptr);
  ScopedEnv tmpdir("TMPDIR", nullptr);
  ScopedEnv tmp("TMP", root.Path().c_str());
  ScopedEnv temp("TEMP", "/nonexistent-should-not-be-used");
  std::string path;
  ASSERT_TRUE(GetQuorinUserTempPath(path));
  EXPECT_EQ(root.Path() + "/quorin-default", path);
  EXPECT_TRUE(IsFolder(path));
  EXPECT_EQ(0777u, ModeOf(path));
}

TEST(FileUtilsUserTemp, PrefersTmpdirAndUsesTheUserName) {
  TempDir first;
  TempDir second;
  ScopedEnv user("USER", "alice");
  ScopedEnv tmpdir("TMPDIR", first.Path().c_str());
  ScopedEnv tmp("TMP", second.Path().c_str());
  std::string path;
  ASSERT_TRUE(GetQuorinUserTempPath(path));
  EXPECT_EQ(first.Path() + "/quorin-alice", path);
  ASSERT_TRUE(GetQuorinUserTempPath(path));  // existing folder is reused
  EXPECT_EQ(first.Path() + "/quorin-alice", path);
}

TEST(FileUtilsUserTemp, FailureLeavesThePathUnchanged) {
  TempDir root;
  ScopedEnv user("USER", "bob");
  ScopedEnv tmpdir("TMPDIR", root.Sub("missing/deeper").c_str());
  std::string path = "unchanged";
  EXPECT_FALSE(GetQuorinUserTempPath(path));
  EXPECT_EQ("unchanged", path);
  std::string huge(5000, 'u');
  ScopedEnv longUser("USER", huge.c_str());
  EXPECT_FALSE(GetQuorinUserTempPath(path));
  EXPECT_FALSE(GetProgramDataLogPath(path));
}

TEST(QrFile, OpenNeverCreatesTheFile) {
  TempDir dir;
  RCPtr<QrFile> file = new QrFile(dir.Sub("log.txt"));
  EXPECT_FALSE(file->Open("a"));
  EXPECT_FALSE(Exists(dir.Sub("log.txt")));
  EXPECT_FALSE(file->Write("x"));
  EXPECT_FALSE(file->Flush());
  RCPtr<QrFile> folder = new QrFile(dir.Path());
  EXPECT_FALSE(folder->Open("r"));
  RCPtr<QrFile> unnamed = new QrFile();
  std::string path = "kept";
  EXPECT_FALSE(unnamed->GetAbsPath(path));
  EXPECT_EQ("kept", path);
  EXPECT_FALSE(unnamed->SetAbsPath(""));
  EXPECT_FALSE(unnamed->Open("r"));
  EXPECT_FALSE(unnamed->Size(nullptr));
  EXPECT_FALSE(unnamed->Exists());
  EXPECT_FALSE(unnamed->Delete());
}

TEST(QrFile, WritesFlushesAndReportsPosition) {
  TempDir dir;
  std::string path = dir.Sub("w.log");
  ASSERT_TRUE(CreateFileWithDefaultAccess(path, true));
  RCPtr<QrFile> file = new QrFile();
  ASSERT_TRUE(file->SetAbsPath(path));
  ASSERT_TRUE(file->Open("a"));
  EXPECT_TRUE(file->Write("hello "));
  EXPECT_TRUE(file->Write("world"));
  EXPECT_FALSE(file->Write(nullptr));
  EXPECT_TRUE(file->Flush());
  int64_t size = 0;
  EXPECT_TRUE(file->Size(&size));
  EXPECT_EQ(11, size);
  EXPECT_TRUE(file->Close());
  EXPECT_TRUE(file->Close());
  size = 0;
  EXPECT_TRUE(file->Size(&size));
  EXPECT_EQ(11, size);
  EXPECT_EQ("w", file->GetBaseName());
  EXPECT_EQ("log", file->GetExtension());
  EXPECT_EQ("w.log", file->GetFileName());
  EXPECT_EQ(dir.Path(), file->GetFolderName());
  EXPECT_TRUE(file->Exists());
  EXPECT_TRUE(file->Delete());
  EXPECT_FALSE(file->Exists());
}
