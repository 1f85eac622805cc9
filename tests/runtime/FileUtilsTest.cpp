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

// Sets the process umask for the scope of a test, restoring the previous one.
struct ScopedUmask {
  explicit ScopedUmask(mode_t mask) : old(umask(mask)) {}
  ~ScopedUmask() { umask(old); }
  mode_t old;
};

}  // namespace

TEST(FileUtilsPaths, NamePartsOfAPath) {
  // clang-format off
  const char* rows[][3] = {  // function, path, answer
      {"Join", "/var/log", "/var/log/a.log"}, {"Join", "/var/log/", "/var/log/a.log"},
      {"Join", "", "a.log"}, {"FolderName", "/a", "/"}, {"FolderName", "a.txt", "."},
      {"FolderName", "C:/x", "C:/"}, {"FolderName", "/var/log/q.log", "/var/log"},
      {"FileName", "/var/log/q.log", "q.log"}, {"FileName", "q.log", "q.log"},
      {"FileName", "/var/", ""}, {"BaseName", "/v.d/q.1.log", "q.1"},
      {"BaseName", "/v.d/noext", "noext"}, {"Extension", "/v.d/q.1.log", "log"},
      {"Extension", "/v.d/noext", ""}};
  // clang-format on
  for (const auto& row : rows) {
    std::string f = row[0];
    std::string got = f == "Join"         ? Join(row[1], "a.log")
                      : f == "FolderName" ? FolderName(row[1])
                      : f == "FileName"   ? FileName(row[1])
                      : f == "BaseName"   ? BaseName(row[1])
                                          : Extension(row[1]);
    EXPECT_EQ(row[2], got) << f << "(" << row[1] << ")";
  }
}

TEST(FileUtilsFiles, ExaminesCreatesAndDeletesFilesAndFolders) {
  ScopedUmask mask(077);
  TempDir dir;
  std::string file = dir.Sub("f.txt");
  ASSERT_TRUE(CreateFileWithDefaultAccess(file, false));
  EXPECT_EQ(0640u, ModeOf(file));  // whatever the umask
  std::ofstream(file) << "12345";
  chmod(file.c_str(), 0600);
  ASSERT_TRUE(CreateFileWithDefaultAccess(file, false));  // keeps the content, fixes the mode
  EXPECT_EQ(0640u, ModeOf(file));
  EXPECT_TRUE(Exists(file) && IsFile(file) && !IsFolder(file) && IsFolder(dir.path));
  int64_t size = 0;
  EXPECT_TRUE(FileSize(file, &size));
  EXPECT_EQ(5, size);
  EXPECT_TRUE(FileSize(file, nullptr));
  time_t mtime = 0;
  EXPECT_TRUE(ModTime(file, &mtime));
  EXPECT_GT(mtime, 0);
  EXPECT_FALSE(ModTime(file, nullptr));
  int64_t freeSpace = -1;
  EXPECT_TRUE(DiskFreeSpace(dir.path, &freeSpace));
  EXPECT_GE(freeSpace, 0);
  EXPECT_FALSE(DiskFreeSpace(dir.Sub("missing"), &freeSpace));
  ASSERT_TRUE(CreateFileWithDefaultAccess(file, true));
  std::string data = "stale";
  ASSERT_TRUE(ReadFileIntoString(file, &data, false));
  EXPECT_EQ("", data);
  EXPECT_FALSE(CreateFileWithDefaultAccess(dir.Sub("no/such/dir"), false));
  for (const std::string& bad : {"/" + std::string(300, 'x'), std::string(), dir.Sub("missing")}) {
    EXPECT_FALSE(Exists(bad) || IsFile(bad) || IsFolder(bad)) << bad;
  }
  // Folders get 0777 whatever the umask, which is left as it was.
  umask(022);
  std::string folder = dir.Sub("logs");
  EXPECT_TRUE(CreateFolder(folder));
  EXPECT_EQ(0777u, ModeOf(folder));
  EXPECT_EQ(022u, umask(022));
  EXPECT_TRUE(CreateFolder(folder));  // already there
  EXPECT_FALSE(CreateFolder(dir.Sub("a/b")));
  EXPECT_TRUE(DeleteFolder(folder));
  EXPECT_FALSE(IsFolder(folder));
  // Deleting what is missing succeeds; a folder with something in it stays.
  EXPECT_TRUE(DeleteFile(dir.Sub("missing")));
  EXPECT_TRUE(DeleteFolder(dir.Sub("missing")));
  EXPECT_FALSE(DeleteFolder(dir.path));
  EXPECT_TRUE(DeleteFile(file));
  EXPECT_FALSE(Exists(file));
}

// The per-user folder: TMPDIR, then TMP (never TEMP), then a default user name; a folder
// that cannot be made leaves the answer unchanged.
TEST(FileUtilsUserTemp, PicksTheFolderFromTheEnvironmentOrLeavesThePathUnchanged) {
  ScopedUmask mask(022);
  TempDir first, second;
  std::string path;
  {
    ScopedEnv user("USER", nullptr), tmpdir("TMPDIR", nullptr), tmp("TMP", first.path.c_str()),
        temp("TEMP", "/nonexistent-should-not-be-used");
    ASSERT_TRUE(GetQuorinUserTempPath(path));
    EXPECT_EQ(first.path + "/quorin-default", path);
    EXPECT_EQ(0777u, ModeOf(path));
  }
  ScopedEnv user("USER", "alice"), tmpdir("TMPDIR", second.path.c_str()),
      tmp("TMP", first.path.c_str());
  for (int i = 0; i < 2; ++i) {  // the second time the existing folder is reused
    ASSERT_TRUE(GetQuorinUserTempPath(path));
    EXPECT_EQ(second.path + "/quorin-alice", path);
  }
  ScopedEnv missing("TMPDIR", second.Sub("missing/deeper").c_str());
  EXPECT_FALSE(GetQuorinUserTempPath(path));
  EXPECT_EQ(second.path + "/quorin-alice", path);
  ScopedEnv longUser("USER", std::string(5000, 'u').c_str());
  EXPECT_FALSE(GetQuorinUserTempPath(path));
  EXPECT_FALSE(GetProgramDataLogPath(path));
}

TEST(QrFile, OpenNeverCreatesWritesFlushAndAnUnnamedFileFailsSoftly) {
  TempDir dir;
  std::string path = dir.Sub("w.log");
  RCPtr<QrFile> file = new QrFile(path);
  EXPECT_FALSE(file->Open("a"));
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(file->Write("x"));
  EXPECT_FALSE(file->Flush());
  EXPECT_FALSE(RCPtr<QrFile>(new QrFile(dir.path))->Open("r"));
  ASSERT_TRUE(CreateFileWithDefaultAccess(path, true));
  file = new QrFile();
  ASSERT_TRUE(file->SetAbsPath(path));
  ASSERT_TRUE(file->Open("a"));
  EXPECT_TRUE(file->Write("hello ") && file->Write("world"));
  EXPECT_FALSE(file->Write(nullptr));
  EXPECT_TRUE(file->Flush());
  int64_t size = 0;
  EXPECT_TRUE(file->Size(&size));
  EXPECT_EQ(11, size);
  EXPECT_TRUE(file->Close());
  EXPECT_TRUE(file->Close());
  EXPECT_TRUE(file->Size(&size));
  EXPECT_EQ(11, size);
  EXPECT_EQ("w/log/w.log/" + dir.path, file->GetBaseName() + "/" + file->GetExtension() + "/" +
                                           file->GetFileName() + "/" + file->GetFolderName());
  EXPECT_TRUE(file->Exists());
  EXPECT_TRUE(file->Delete());
  EXPECT_FALSE(file->Exists());
  RCPtr<QrFile> unnamed = new QrFile();
  path = "kept";
  EXPECT_FALSE(unnamed->GetAbsPath(path));
  EXPECT_EQ("kept", path);
  EXPECT_FALSE(unnamed->SetAbsPath("") || unnamed->Open("r") || unnamed->Size(nullptr) ||
               unnamed->Exists() || unnamed->Delete());
}
