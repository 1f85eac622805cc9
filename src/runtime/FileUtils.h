// Path, file and folder helpers over POSIX calls, for the log writers, the configuration
// watcher and the logger's start-up: "/"-separated path arithmetic, existence and size
// checks, free disk space, creation with fixed permissions, and the per-user temporary
// folder that holds the log files. No function keeps a file open after it returns, except
// OpenOwnFile, whose descriptor the caller owns.
// The per-user folder lies in a folder every local user may write to, so what it holds is
// not trusted: the folder is used only when it is a real directory of the process's user,
// and files there are written or deleted only when they are regular files of that user
// reached without following a link.
// Thread safe: no shared state, except that CreateFolder briefly changes the process umask.
#ifndef RUNTIME_FILEUTILS_H
#define RUNTIME_FILEUTILS_H

#include <time.h>

#include <cstdint>
#include <string>

namespace FileUtils {

// Paths of this many bytes or more are refused by Exists/IsFile/IsFolder.
const size_t kMaxPathLength = 255;

std::string Join(const std::string& folder, const std::string& file);
std::string FolderName(const std::string& path);
std::string FileName(const std::string& path);
std::string BaseName(const std::string& path);
std::string Extension(const std::string& path);

bool Exists(const std::string& path);
bool IsFile(const std::string& path);
bool IsFolder(const std::string& path);
bool FileSize(const std::string& path, int64_t* pSize);  // pSize may be null
bool ModTime(const std::string& path, time_t* pModTime);
bool DiskFreeSpace(const std::string& path, int64_t* pFreeSpace);  // pFreeSpace may be null

// Creates the file if missing (emptying it when overwrite) and gives it mode 0640. An
// existing file is used only when OpenOwnFile accepts it.
bool CreateFileWithDefaultAccess(const std::string& path, bool overwrite);
// Opens an existing file without following a link (open flags plus O_NOFOLLOW, O_CLOEXEC,
// O_NONBLOCK, never O_CREAT or O_TRUNC) and keeps it only when it is a regular file, with no
// other name, that the process's effective user owns. The descriptor, or -1 with errno set
// (EPERM when the file is not acceptable).
int OpenOwnFile(const std::string& path, int flags);
// A real directory (not a link) that the process's effective user owns.
bool IsOwnFolder(const std::string& path);
// Creates the directory with mode 0777 regardless of the umask; true when it now exists.
bool CreateFolder(const std::string& path);
// A path that does not exist counts as deleted.
bool DeleteFile(const std::string& path);
// Deletes the path only when it is, itself, a regular file of the process's effective user;
// false for anything else (which stays). A path that does not exist counts as deleted.
bool DeleteOwnFile(const std::string& path);
bool DeleteFolder(const std::string& path);

// "$TMPDIR/quorin-$USER" (TMP, TEMP, then /tmp as the root; "default" without USER),
// created with mode 0777 when missing. False when it cannot be created, or when what is
// there is not IsOwnFolder (another user may have planted it). On failure directory is left
// unchanged.
bool GetQuorinUserTempPath(std::string& directory);
bool GetProgramDataLogPath(std::string& path);  // always false on this platform
// Replaces *pData with the whole file; false if it cannot be opened, is not a regular file,
// exceeds BoundedFileReader's limits, or pData is null.
bool ReadFileIntoString(const std::string& path, std::string* pData, bool binary);

}  // namespace FileUtils

#endif  // RUNTIME_FILEUTILS_H
