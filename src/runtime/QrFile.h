// A small file object for the log writers: a path plus an optional open stdio stream.
// Open() never creates a file (create it first with CreateFileWithDefaultAccess), so a
// writer cannot resurrect a log file that was deleted under it, and it opens only a regular
// file of the process's user reached without a link (FileUtils::OpenOwnFile), so a log
// folder others can write to cannot point it at their or anybody's file.
// Not thread safe: the owning writer serialises its calls (under the logging lock).
#ifndef RUNTIME_QRFILE_H
#define RUNTIME_QRFILE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "runtime/RCObject.h"

namespace FileUtils {

class QrFile : public RCObject {
 public:
  QrFile() = default;
  explicit QrFile(const std::string& absPath) : m_absPath(absPath) {}
  QrFile(const QrFile&) = delete;
  QrFile& operator=(const QrFile&) = delete;

  bool SetAbsPath(const std::string& absPath);
  bool GetAbsPath(std::string& absPath) const;

  // Opens the existing regular file with an fopen mode ("r", "w", "a", each with an optional
  // "+"; "b" and "e" are accepted), closing any open stream first. False for a file
  // OpenOwnFile refuses.
  bool Open(const char* mode);
  bool Close();  // always true
  bool Write(const char* buffer);
  bool Flush();
  // Gives the open stream a buffer of that many bytes, so that many small writes leave as
  // few large ones; only before the first write after Open. False when not open.
  bool SetBufferSize(size_t bytes);
  // The stream position while open, otherwise the size on disk.
  bool Size(int64_t* pSize);
  bool Exists() const;
  bool Delete();

  std::string GetFolderName() const;
  std::string GetFileName() const;
  std::string GetBaseName() const;
  std::string GetExtension() const;

  bool IsOpen() const { return m_fp != nullptr; }

 protected:
  ~QrFile() override;

 private:
  FILE* OpenStream(const char* mode);

  std::string m_absPath;
  FILE* m_fp = nullptr;
};

}  // namespace FileUtils

#endif  // RUNTIME_QRFILE_H
