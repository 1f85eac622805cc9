// Path, file and folder helpers over POSIX calls, for the log writers, the configuration
// watcher and the logger's start-up: "/"-separated path arithmetic, existence and size
// checks, free disk space, creation with fixed permissions, and the per-user temporary
// folder that holds the log files. No function keeps a file open after it returns.
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

// Creates the file if missing (emptying it when overwrite) and gives it mode 0640.
bool CreateFileWithDefaultAccess(const std::string& path, bool overwrite);
// Creates the directory with mode 0777 regardless of the umask; true when it now exists.
bool CreateFolder(const std::string& path);
// A path that does not exist counts as deleted.
bool DeleteFile(const std::string& path);
bool DeleteFolder(const std::string& path);

// "$TMPDIR/quorin-$USER" (TMP, TEMP, then /tmp as the root; "default" without USER),
// created with mode 0777 when missing. On failure directory is left unchanged.
bool GetQuorinUserTempPath(std::string& directory);
bool GetProgramDataLogPath(std::string& path);  // always false on this platform
// Replaces *pData with the whole file; false if it cannot be opened, is not a regular file,
// exceeds BoundedFileReader's limits, or pData is null.
bool ReadFileIntoString(const std::string& path, std::string* pData, bool binary);

}  // namespace FileUtils

#endif  // RUNTIME_FILEUTILS_H
