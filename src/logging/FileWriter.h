// The rolling log file writer: lines go to quorin-<app>-<pid>[(n)].log in the per-user
// temporary directory (or the "folderPath" option). The file rolls to the next number at
// a size limit that follows the logger's level unless set; the first file and the newest
// "maxRollingFiles" files are kept. A poll item deletes files of the application older
// than "maxDaysKept" days, 20 per pass. Below the low disk threshold only error and
// always lines are written, until free space reaches the high threshold again.
// The folder may be shared with other local users: the writer writes, rolls over and
// deletes only regular files of the process's user and never follows a link; a log file
// name taken by anything else makes OnInit fail (the writer stays closed).
// Thread safe: options and file bookkeeping are guarded by the logging lock; output runs
// on one thread at a time, as for every LogWriter.
#ifndef LOGGING_FILEWRITER_H
#define LOGGING_FILEWRITER_H

#include <dirent.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "logging/LogWriter.h"
#include "runtime/QrElapsedTimer.h"
#include "runtime/QrFile.h"

class FileWriter : public LogWriter {
 public:
  // Free-space query: true with the bytes available to unprivileged users of the path.
  typedef bool (*DiskFreeSpaceQuery)(const std::string& path, int64_t* freeBytes);

  FileWriter();

  bool SetCustomOption(const std::string& option, const std::string& value) override;
  bool GetCustomOption(const std::string& option, std::string& value) override;
  bool OnInit() override;
  bool WriteMessage(const RCPtr<LogMessage>& msg) override;
  bool OnClose() override;
  void OnPreSyncMessages() override;
  void OnPostSyncMessages() override;

  // True while logging is suspended and the line is less severe than an error.
  using LogWriter::DropMessage;
  virtual bool DropMessage(const RCPtr<LogMessage>& msg);

  // The file name for a roll number; 0 gives the deletion pattern (with "*").
  std::string GetFilename(uint32_t rollingFileCount) const;
  std::string GetFilePattern() const { return GetFilename(0); }
  uint32_t GetFileMaxSizeMB() const;
  bool TimeToRollLogFile();
  // Closes the file and opens the next number; callable from any thread.
  void RollLogFile();
  // One deletion pass; true when it stopped after 20 deletions (more may remain).
  bool DeleteOldLogFiles();
  void FlushBuffersOS();

  bool IsSuspended() const;
  std::string GetAbsolutePath() const;

  // Test seam: replaces the free-space query (null restores the real one). Production
  // code never calls it.
  static void SetDiskFreeSpaceQueryForTesting(DiskFreeSpaceQuery query);

 protected:
  ~FileWriter() override;

 private:
  class DirectoryIterator;
  class FileInfo;
  class PollDeleteOldFiles;

  // RollLogFile for a caller that owns the output and holds the logging lock; answers the
  // path of the file the roll retires (empty for none), for the caller to delete once it
  // has released the lock.
  std::string RollLocked();
  void CheckDiskSpace();

  std::string m_appFileName;
  std::string m_filename;
  std::string m_directory;
  std::string m_absolutePath;
  uint32_t m_maxDaysKept;
  uint32_t m_fileMaxSizeMB;
  uint32_t m_rollingFileMax;
  uint32_t m_rollingFileCount;
  uint32_t m_diskThresholdLowMB;
  uint32_t m_diskThresholdHighMB;
  bool m_thresholdLowered;
  bool m_suspended;
  QrElapsedTimer m_suspendedTimer;
  RCPtr<FileUtils::QrFile> m_file;
  RCPtr<PollDeleteOldFiles> m_pollDeleteOldFiles;
  RCPtr<DirectoryIterator> m_dirIterator;  // used only by the deletion pass

  static DiskFreeSpaceQuery s_diskFreeSpaceQuery;
};

typedef RCPtr<FileWriter> FileWriterPtr;

// Regular files of the process's user in one directory whose full path matches a shell
// pattern (links are not followed and not reported).
class FileWriter::DirectoryIterator : public RCObject {
 public:
  DirectoryIterator(const std::string& directory, const std::string& pattern);
  // The next matching file, or null when the directory is exhausted.
  RCPtr<FileInfo> Next();

 protected:
  ~DirectoryIterator() override;

 private:
  std::string m_directory;
  std::string m_absPathWithPattern;
  DIR* m_dirHandle;
  bool m_opened;
};

class FileWriter::FileInfo : public RCObject {
 public:
  FileInfo(const std::string& absPath, time_t modifiedTime)
      : m_absPath(absPath), m_modifiedTime(modifiedTime) {}
  const std::string m_absPath;
  const time_t m_modifiedTime;
};

// Deletes expired files: at once when added, then every second while passes stop at the
// limit of 20, and every 4 hours otherwise.
class FileWriter::PollDeleteOldFiles : public QrPollItem {
 public:
  explicit PollDeleteOldFiles(FileWriter* writer);
  bool Run(bool timedOut) override;

 private:
  FileWriter* const m_writer;  // not owned: the writer removes this item before it dies
};

#endif  // LOGGING_FILEWRITER_H
