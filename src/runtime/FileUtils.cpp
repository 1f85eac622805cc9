#include "runtime/FileUtils.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include "logging/Log.h"
#include "runtime/BoundedFileReader.h"
#include "runtime/StringUtils.h"

namespace FileUtils {

namespace {

const size_t kMaxUserName = 255;
const size_t kMaxTempPath = 1023;

// stat() of a path short enough for the desktop file-attribute rules.
bool StatPath(const std::string& path, struct stat* st) {
  if (path.size() >= kMaxPathLength) {
    QR_LOG(LOGGER_LOG_ERROR, "File Name too long. GetFileAttributes Failed.\n");
    return false;
  }
  return stat(path.c_str(), st) == 0;
}

// The value of an environment variable cut to maxLen characters; false when unset.
bool ReadEnv(const char* name, size_t maxLen, std::string* value) {
  const char* text = getenv(name);
  if (text == nullptr) {
    return false;
  }
  *value = std::string(text, strnlen(text, maxLen));
  return true;
}

// A directory test without the desktop length limit: the temporary root may be long.
bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string Join(const std::string& folder, const std::string& file) {
  if (folder.empty()) {
    return file;
  }
  if (folder.back() == '/') {
    return folder + file;
  }
  return folder + "/" + file;
}

std::string FolderName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  if (slash == 0) {
    return "/";
  }
  if (slash == 2 && path[1] == ':') {
    return path.substr(0, 3);
  }
  return path.substr(0, slash);
}

std::string FileName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string BaseName(const std::string& path) {
  std::string name = FileName(path);
  std::string::size_type dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string Extension(const std::string& path) {
  std::string name = FileName(path);
  std::string::size_type dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

bool Exists(const std::string& path) {
  struct stat st;
  return StatPath(path, &st);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return StatPath(path, &st) && S_ISREG(st.st_mode);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return StatPath(path, &st) && S_ISDIR(st.st_mode);
}

bool FileSize(const std::string& path, int64_t* pSize) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    return false;
  }
  if (pSize != nullptr) {
    *pSize = static_cast<int64_t>(st.st_size);
  }
  return true;
}

bool ModTime(const std::string& path, time_t* pModTime) {
  struct stat st;
  if (pModTime == nullptr || stat(path.c_str(), &st) != 0) {
    return false;
  }
  *pModTime = st.st_mtime;
  return true;
}

bool DiskFreeSpace(const std::string& path, int64_t* pFreeSpace) {
  struct statvfs vfs;
  if (statvfs(path.c_str(), &vfs) != 0) {
    return false;
  }
  if (pFreeSpace != nullptr) {
    *pFreeSpace = static_cast<int64_t>(vfs.f_frsize) * static_cast<int64_t>(vfs.f_bavail);
  }
  return true;
}

bool CreateFileWithDefaultAccess(const std::string& path, bool overwrite) {
  const mode_t kMode = S_IRUSR | S_IWUSR | S_IRGRP;  // 0640
  // O_EXCL: a link planted under the name is never followed to create its target.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kMode);
  if (fd < 0 && errno == EEXIST) {
    fd = OpenOwnFile(path, O_RDWR);
  }
  if (fd < 0) {
    return false;
  }
  // The umask may have narrowed the creation mode, and an existing file keeps its own.
  bool ok = fchmod(fd, kMode) == 0 && (!overwrite || ftruncate(fd, 0) == 0);
  close(fd);
  return ok;
}

int OpenOwnFile(const std::string& path, int flags) {
  flags &= ~(O_CREAT | O_TRUNC | O_EXCL);
  // O_NONBLOCK: a planted named pipe must not hold the caller in open().
  int fd = open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return -1;
  }
  struct stat st;
  // One name only: a hard link planted under our name may be another user's file.
  bool own =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
  int status = own ? fcntl(fd, F_GETFL) : -1;
  if (status == -1 || fcntl(fd, F_SETFL, (status & ~O_NONBLOCK) | (flags & O_NONBLOCK)) != 0) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

bool IsOwnFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

bool CreateFolder(const std::string& path) {
  mode_t oldMask = umask(0);
  int rc = mkdir(path.c_str(), 0777);
  int err = errno;
  umask(oldMask);
  if (rc != 0 && err != EEXIST) {
    char text[256];
    QR_LOG(LOGGER_LOG_ERROR, "Error in creating Log Directory - %s \n",
           strerror_r(err, text, sizeof(text)));
  }
  return IsDirectory(path);
}

bool DeleteFile(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

bool DeleteOwnFile(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT;
  }
  // unlink never follows a link, so a file swapped in after the check is at worst a link
  // that goes, never what it names.
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && DeleteFile(path);
}

bool DeleteFolder(const std::string& path) { return rmdir(path.c_str()) == 0 || errno == ENOENT; }

bool GetQuorinUserTempPath(std::string& directory) {
  std::string user;
  if (!ReadEnv("USER", kMaxUserName, &user)) {
    QR_LOG(LOGGER_LOG_ERROR, "Unable to read $USER variable. Use username as 'default'.\n");
    user = "default";
  }
  std::string root;
  if (!ReadEnv("TMPDIR", kMaxTempPath, &root) && !ReadEnv("TMP", kMaxTempPath, &root) &&
      !ReadEnv("TEMP", kMaxTempPath, &root)) {
    root = "/tmp";
  }
  std::string path = root + "/quorin-" + user;
  if (path.size() > kMaxTempPath) {
    path.resize(kMaxTempPath);
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 && !CreateFolder(path)) {
    return false;
  }
  // Checked after creating too: the name may have been taken between the two calls.
  if (!IsOwnFolder(path)) {
    QR_LOG(LOGGER_LOG_ERROR, "Log Directory %s is not a directory of this user.\n", path.c_str());
    return false;
  }
  directory = path;
  return true;
}

bool GetProgramDataLogPath(std::string& /*path*/) { return false; }

bool ReadFileIntoString(const std::string& path, std::string* pData, bool /*binary*/) {
  if (pData == nullptr) {
    return false;
  }
  // Text and binary mode read the same bytes here; the bounded reader refuses what is not
  // a regular file of sensible size.
  return BoundedFileReader().ReadAll(path, pData) == BoundedFileReader::READ_OK;
}

}  // namespace FileUtils
