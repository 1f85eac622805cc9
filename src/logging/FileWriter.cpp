#include "logging/FileWriter.h"

#include <fnmatch.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <sys/stat.h>

#include "logging/LoggerManager.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/FileUtils.h"
#include "runtime/QrPollThread.h"
#include "runtime/StringUtils.h"

namespace {

const uint32_t kSizeFollowsLevel = 4294967295u;
const int64_t kMB = 1048576;
const int32_t kDeletionRetryMS = 1000;
const int32_t kDeletionPeriodMS = 14400000;  // 4 hours
const int kDeletionsPerPass = 20;
const char kStars[] = "*******";
const size_t kFileBufferBytes = 64 * 1024;

// Adapts the file utilities' 64-bit out-parameter, whatever its exact integer type.
template <class T>
bool CallDiskFreeSpace(bool (*query)(const std::string&, T*), const std::string& path,
                       int64_t* freeBytes) {
  T value = 0;
  bool ok = query(path, &value);
  *freeBytes = static_cast<int64_t>(value);
  return ok;
}

bool RealDiskFreeSpace(const std::string& path, int64_t* freeBytes) {
  return CallDiskFreeSpace(&FileUtils::DiskFreeSpace, path, freeBytes);
}

template <class T>
bool CallFileSize(FileUtils::QrFile* file, bool (FileUtils::QrFile::*size)(T*), int64_t* out) {
  T value = 0;
  bool ok = (file->*size)(&value);
  *out = static_cast<int64_t>(value);
  return ok;
}

std::string FormatUnsigned(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u", value);
  return text;
}

}  // namespace

FileWriter::DiskFreeSpaceQuery FileWriter::s_diskFreeSpaceQuery = nullptr;

void FileWriter::SetDiskFreeSpaceQueryForTesting(DiskFreeSpaceQuery query) {
  AutoMutexLock lock(LoggerManager_GetLock());
  s_diskFreeSpaceQuery = query;
}

// --- Poll item and directory iteration ---

FileWriter::PollDeleteOldFiles::PollDeleteOldFiles(FileWriter* writer)
    : QrPollItem("DeleteOldFiles"), m_writer(writer) {}

bool FileWriter::PollDeleteOldFiles::Run(bool /*timedOut*/) {
  bool more = m_writer->DeleteOldLogFiles();
  AutoMutexLock lock(LoggerManager_GetLock());
  SetTimeoutMS(more ? kDeletionRetryMS : kDeletionPeriodMS, false);
  return true;
}

FileWriter::DirectoryIterator::DirectoryIterator(const std::string& directory,
                                                 const std::string& pattern)
    : m_directory(directory),
      m_absPathWithPattern(FileUtils::Join(directory, pattern.empty() ? "*" : pattern)),
      m_dirHandle(nullptr),
      m_opened(false) {}

FileWriter::DirectoryIterator::~DirectoryIterator() {
  if (m_dirHandle != nullptr) {
    closedir(m_dirHandle);
  }
}

RCPtr<FileWriter::FileInfo> FileWriter::DirectoryIterator::Next() {
  if (!m_opened) {
    m_opened = true;
    m_dirHandle = opendir(m_directory.c_str());
  }
  if (m_dirHandle == nullptr) {
    return RCPtr<FileInfo>();
  }
  while (struct dirent* entry = readdir(m_dirHandle)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    std::string path = FileUtils::Join(m_directory, name);
    struct stat info;
    // Only our own regular files: the folder may hold what other users planted.
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
      continue;
    }
    if (fnmatch(m_absPathWithPattern.c_str(), path.c_str(), 0) != 0) {
      continue;
    }
    RCPtr<FileInfo> file(new (std::nothrow) FileInfo(path, info.st_mtime));
    if (file.Ptr() != nullptr) {
      return file;
    }
  }
  return RCPtr<FileInfo>();
}

// --- FileWriter ---

FileWriter::FileWriter()
    : LogWriter(LOG_WRITER_FILE),
      m_maxDaysKept(7),
      m_fileMaxSizeMB(kSizeFollowsLevel),
      m_rollingFileMax(4),
      m_rollingFileCount(0),
      m_diskThresholdLowMB(200),
      m_diskThresholdHighMB(500),
      m_thresholdLowered(false),
      m_suspended(false),
      m_pollDeleteOldFiles(new PollDeleteOldFiles(this)) {
  SetBufferingEnabled(true);
}

FileWriter::~FileWriter() {
  if (m_pollDeleteOldFiles.Ptr() != nullptr) {
    m_pollDeleteOldFiles->Remove(true);
  }
}

bool FileWriter::SetCustomOption(const std::string& option, const std::string& value) {
  if (option.empty() || value.empty()) {
    return false;
  }
  AutoMutexLock lock(LoggerManager_GetLock());
  const char* name = option.c_str();
  if (strcasecmp(name, "filename") == 0 || strcasecmp(name, "folderPath") == 0) {
    if (m_file.Ptr() != nullptr) {
      return false;  // the open file keeps its name and place
    }
    (strcasecmp(name, "filename") == 0 ? m_appFileName : m_directory) = value;
    return true;
  }
  uint32_t number = 0;
  if (strcasecmp(name, "maxDaysKept") == 0) {
    if (!ParseOptionNumber(value, &number)) return false;
    m_maxDaysKept = number;
  } else if (strcasecmp(name, "maxFileSizeMB") == 0) {
    if (!ParseOptionNumber(value, &number)) return false;
    m_fileMaxSizeMB = (number > 1024 && number < kSizeFollowsLevel) ? 1024 : number;
  } else if (strcasecmp(name, "maxRollingFiles") == 0) {
    if (!ParseOptionNumber(value, &number)) return false;
    m_rollingFileMax = number > 1000 ? 1000 : number;
  } else if (strcasecmp(name, "diskThresholdLowMB") == 0) {
    if (!ParseOptionNumber(value, &number)) return false;
    if (number < m_diskThresholdLowMB) {
      m_thresholdLowered = true;
    }
    m_diskThresholdLowMB = number;
  } else if (strcasecmp(name, "diskThresholdHighMB") == 0) {
    if (!ParseOptionNumber(value, &number)) return false;
    m_diskThresholdHighMB = number;
  } else {
    return false;
  }
  return true;
}

bool FileWriter::GetCustomOption(const std::string& option, std::string& value) {
  if (option.empty()) {
    return false;
  }
  AutoMutexLock lock(LoggerManager_GetLock());
  const char* name = option.c_str();
  if (strcasecmp(name, "filename") == 0) {
    value = m_filename;
  } else if (strcasecmp(name, "folderPath") == 0) {
    value = m_directory;
  } else if (strcasecmp(name, "maxDaysKept") == 0) {
    value = FormatUnsigned(m_maxDaysKept);
  } else if (strcasecmp(name, "maxFileSizeMB") == 0) {
    value = FormatUnsigned(m_fileMaxSizeMB);
  } else if (strcasecmp(name, "maxRollingFiles") == 0) {
    value = FormatUnsigned(m_rollingFileMax);
  } else if (strcasecmp(name, "diskThresholdLowMB") == 0) {
    value = FormatUnsigned(m_diskThresholdLowMB);
  } else if (strcasecmp(name, "diskThresholdHighMB") == 0) {
    value = FormatUnsigned(m_diskThresholdHighMB);
  } else {
    return false;
  }
  return true;
}

std::string FileWriter::GetFilename(uint32_t rollingFileCount) const {
  LoggerPtr logger = GetLogger();
  std::string app = m_appFileName;
  if (app.empty() && logger.Ptr() != nullptr) {
    app = logger->GetAppName();
  }
  if (app.empty()) {
    app = "default";
  }
  std::string info;
  if (rollingFileCount == 0) {
    info = "*";
  } else {
    info = std::to_string(ProcessId());
    // At info level the first file carries no counter; a debugging run numbers all.
    bool plainFirstFile = m_rollingFileMax != 0 && rollingFileCount == 1 &&
                          (logger.Ptr() == nullptr || logger->GetLevel() < LOGGER_LOG_DEBUG);
    if (!plainFirstFile) {
      char counter[32];
      std::snprintf(counter, sizeof(counter), "(%0*u)", m_rollingFileMax != 0 ? 1 : 4,
                    rollingFileCount);
      info += counter;
    }
  }
  return "quorin-" + app + "-" + info + ".log";
}

uint32_t FileWriter::GetFileMaxSizeMB() const {
  if (m_fileMaxSizeMB != kSizeFollowsLevel) {
    return m_fileMaxSizeMB;
  }
  LoggerPtr logger = GetLogger();
  switch (logger.Ptr() != nullptr ? logger->GetLevel() : LOGGER_LOG_INFO) {
    case LOGGER_LOG_DEBUG:
      return 50;
    case LOGGER_LOG_TRACE:
      return 75;
    case LOGGER_LOG_VERBOSE:
      return 99;
    default:
      return 15;
  }
}

bool FileWriter::OnInit() {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_directory.empty()) {
    std::string directory;
    if (!FileUtils::GetQuorinUserTempPath(directory)) {
      return false;
    }
    m_directory = directory;
  }
  ++m_rollingFileCount;
  m_filename = GetFilename(m_rollingFileCount);
  m_absolutePath = FileUtils::Join(m_directory, m_filename);
  struct stat entry;
  // Anything under the name counts, a link included: it is never followed, and Open
  // refuses what is not our own regular file.
  bool existed = lstat(m_absolutePath.c_str(), &entry) == 0;
  if (!existed && !FileUtils::CreateFileWithDefaultAccess(m_absolutePath, false)) {
    return false;
  }
  RCPtr<FileUtils::QrFile> file(new (std::nothrow) FileUtils::QrFile(m_absolutePath));
  if (file.Ptr() == nullptr || !file->Open("a")) {
    return false;
  }
  // The drain writes line after line: one system call per 64 KiB instead of per 4 KiB.
  file->SetBufferSize(kFileBufferBytes);
  m_file = file;
  if (existed) {
    m_file->Write(
        "\n"
        "******************************************************************************\n"
        "************************   NEW LOG SESSION STARTING   ************************\n"
        "******************************************************************************\n"
        "\n");
  }
  if (m_maxDaysKept != 0) {
    RCPtr<QrPollThread> pollThread = Logger::GetPollThread();
    if (pollThread.Ptr() != nullptr && !pollThread->IsMember(m_pollDeleteOldFiles)) {
      pollThread->AddItem(m_pollDeleteOldFiles, nullptr, 0);
    }
  }
  return true;
}

bool FileWriter::WriteMessage(const RCPtr<LogMessage>& msg) {
  // m_file changes only where output runs (open, roll, close), never under this call.
  FileUtils::QrFile* file = m_file.Ptr();
  if (!InitializedNoLock() || file == nullptr || msg.Ptr() == nullptr) {
    return false;
  }
  if (DropMessage(msg)) {
    return false;
  }
  return file->Write(LineText(msg));
}

bool FileWriter::DropMessage(const RCPtr<LogMessage>& msg) {
  return m_suspended && msg->m_logLevel > LOGGER_LOG_ERROR;
}

bool FileWriter::OnClose() {
  if (IsShuttingDown() && m_pollDeleteOldFiles.Ptr() != nullptr) {
    // Waits for a running deletion pass, which takes the logging lock: not held here.
    m_pollDeleteOldFiles->Remove(true);
  }
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_file.Ptr() != nullptr) {
    m_file->Close();
    m_file = nullptr;
  }
  return true;
}

void FileWriter::OnPreSyncMessages() {}

void FileWriter::OnPostSyncMessages() {
  // The flush, and the deletion a roll brings, run outside the logging lock: both can wait
  // on the disk (the kernel holds back a fast writer of dirty pages), and logging threads
  // must not wait with them. This thread owns the output (see LogWriter), so the file does
  // not change meanwhile; the lock guards the options and the bookkeeping below.
  if (m_file.Ptr() != nullptr) {
    m_file->Flush();
  }
  std::string expired;
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    // The flush of Close() does not roll: a new file (and the poll thread its deletion
    // item would need) must not appear while the facility shuts down.
    if (!IsShuttingDown() && TimeToRollLogFile()) {
      expired = RollLocked();
    }
    CheckDiskSpace();
  }
  if (!expired.empty()) {
    FileUtils::DeleteOwnFile(expired);
  }
}

void FileWriter::FlushBuffersOS() {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_file.Ptr() != nullptr) {
    m_file->Flush();
  }
}

bool FileWriter::TimeToRollLogFile() {
  uint32_t limitMB = GetFileMaxSizeMB();
  if (limitMB == 0 || m_file.Ptr() == nullptr) {
    return false;
  }
  int64_t size = 0;
  if (!CallFileSize(m_file.Ptr(), &FileUtils::QrFile::Size, &size)) {
    return false;
  }
  return size >= static_cast<int64_t>(limitMB) * kMB;
}

void FileWriter::RollLogFile() {
  std::string expired;
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    OutputGuard output(this);
    expired = RollLocked();
  }
  if (!expired.empty()) {
    FileUtils::DeleteOwnFile(expired);
  }
}

std::string FileWriter::RollLocked() {
  OnClose();
  OnInit();
  // File 1 holds the start-up lines and is never removed by rolling.
  if (m_rollingFileMax != 0 && m_rollingFileCount > m_rollingFileMax &&
      m_rollingFileCount - m_rollingFileMax != 1) {
    return FileUtils::Join(m_directory, GetFilename(m_rollingFileCount - m_rollingFileMax));
  }
  return std::string();
}

void FileWriter::CheckDiskSpace() {
  int64_t freeBytes = 0;
  DiskFreeSpaceQuery query =
      s_diskFreeSpaceQuery != nullptr ? s_diskFreeSpaceQuery : &RealDiskFreeSpace;
  if (m_directory.empty() || !query(m_directory, &freeBytes)) {
    return;
  }
  const int64_t low = static_cast<int64_t>(m_diskThresholdLowMB) * kMB;
  char buffer[kMaxLineSize];
  int n = 0;
  bool suspending;
  if (!m_suspended) {
    if (freeBytes > low) {
      m_thresholdLowered = false;
      return;
    }
    m_thresholdLowered = false;
    m_suspended = true;
    m_suspendedTimer.Mark(QrTimer::RESET_AND_RESUME);
    buffer[n++] = '\n';
    suspending = true;
  } else {
    uint64_t resumeMB = static_cast<uint64_t>(m_diskThresholdLowMB) + 50;
    if (m_diskThresholdHighMB > resumeMB) {
      resumeMB = m_diskThresholdHighMB;
    }
    const int64_t resume = static_cast<int64_t>(resumeMB) * kMB;
    if (freeBytes < resume && (!m_thresholdLowered || freeBytes < low)) {
      m_thresholdLowered = false;
      return;
    }
    m_suspended = false;
    m_thresholdLowered = false;
    suspending = false;
  }
  n += FormatMessagePrefix(buffer + n, kMaxLineSize - n, "*", LOGGER_LOG_ALWAYS);
  if (n >= 6) {
    n -= 5;  // over "A *: ", so the notice stands right after the process id
  }
  std::string freeText = StringUtils::FormatSize(static_cast<double>(freeBytes), 1);
  int m;
  if (suspending) {
    m = StringUtils::snprintf(buffer + n, kMaxLineSize - n,
                              "%s Free disk space is %s - Logging suspended %s\n", kStars,
                              freeText.c_str(), kStars);
  } else {
    std::string suspendedFor =
        StringUtils::FormatTime(m_suspendedTimer.Mark(QrTimer::NO_CHANGE), 3);
    m = StringUtils::snprintf(buffer + n, kMaxLineSize - n,
                              "%s Free disk space is %s - Logging resumed after %s %s\n\n", kStars,
                              freeText.c_str(), suspendedFor.c_str(), kStars);
  }
  RCPtr<LogMessage> notice(new (std::nothrow) LogMessage(
      buffer, static_cast<size_t>(m < 0 ? n : n + m), LOGGER_LOG_ALWAYS));
  if (notice.Ptr() != nullptr) {
    WriteMessage(notice);
  }
}

bool FileWriter::DeleteOldLogFiles() {
  uint32_t days;
  std::string directory;
  std::string pattern;
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    days = m_maxDaysKept;
    directory = m_directory;
    pattern = GetFilePattern();
  }
  if (days == 0) {
    return false;
  }
  static const char kFunc[] = "Bool FileWriter::DeleteOldLogFiles()";
  if (Logger::IsEnabled(LOGGER_LOG_INFO)) {
    Logger::Log(kFunc, LOGGER_LOG_INFO, "Deleting \"%s\" older than %d days",
                FileUtils::Join(directory, pattern).c_str(), static_cast<int>(days));
  }
  time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) {
    return false;
  }
  if (m_dirIterator.Ptr() == nullptr) {
    m_dirIterator = new (std::nothrow) DirectoryIterator(directory, pattern);
    if (m_dirIterator.Ptr() == nullptr) {
      return false;
    }
  }
  const int64_t maxAge = static_cast<int64_t>(days) * 86400;
  int deleted = 0;
  while (RCPtr<FileInfo> file = m_dirIterator->Next()) {
    if (static_cast<int64_t>(now - file->m_modifiedTime) < maxAge) {
      continue;
    }
    if (FileUtils::DeleteOwnFile(file->m_absPath)) {
      if (Logger::IsEnabled(LOGGER_LOG_INFO)) {
        Logger::Log(kFunc, LOGGER_LOG_INFO, "Deleted \"%s\"", file->m_absPath.c_str());
      }
    } else if (Logger::IsEnabled(LOGGER_LOG_WARN)) {
      Logger::Log(kFunc, LOGGER_LOG_WARN, "Failed to delete \"%s\"", file->m_absPath.c_str());
    }
    if (++deleted >= kDeletionsPerPass) {
      return true;
    }
  }
  m_dirIterator = nullptr;
  return false;
}

bool FileWriter::IsSuspended() const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_suspended;
}

std::string FileWriter::GetAbsolutePath() const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_absolutePath;
}
