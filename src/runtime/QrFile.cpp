#include "runtime/QrFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "logging/Log.h"
#include "runtime/FileUtils.h"

namespace FileUtils {

QrFile::~QrFile() { Close(); }

bool QrFile::SetAbsPath(const std::string& absPath) {
  if (absPath.empty()) {
    QR_LOG(LOGGER_LOG_DEBUG, "The abolute path of the file is not set.\n");
    return false;
  }
  m_absPath = absPath;
  return true;
}

bool QrFile::GetAbsPath(std::string& absPath) const {
  if (m_absPath.empty()) {
    QR_LOG(LOGGER_LOG_DEBUG, "The abolute path is not set.\n");
    return false;
  }
  absPath = m_absPath;
  return true;
}

bool QrFile::Open(const char* mode) {
  if (m_absPath.empty()) {
    QR_LOG(LOGGER_LOG_DEBUG, "The abolute path of the file is not set.\n");
    return false;
  }
  Close();
  if (!IsFile(m_absPath)) {
    QR_LOG(LOGGER_LOG_DEBUG, "%s file does not exist.\n", m_absPath.c_str());
    return false;
  }
  m_fp = mode != nullptr ? OpenStream(mode) : nullptr;
  if (m_fp == nullptr) {
    QR_LOG(LOGGER_LOG_DEBUG, "Opening the file failed: %s", m_absPath.c_str());
    return false;
  }
  return true;
}

FILE* QrFile::OpenStream(const char* mode) {
  bool update = strchr(mode, '+') != nullptr;
  int flags;
  switch (mode[0]) {
    case 'r':
      flags = update ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      flags = update ? O_RDWR : O_WRONLY;
      break;
    case 'a':
      flags = (update ? O_RDWR : O_WRONLY) | O_APPEND;
      break;
    default:
      return nullptr;
  }
  int fd = OpenOwnFile(m_absPath, flags);
  if (fd < 0) {
    return nullptr;
  }
  // Emptied only now that the file is known to be ours.
  FILE* fp = (mode[0] != 'w' || ftruncate(fd, 0) == 0) ? fdopen(fd, mode) : nullptr;
  if (fp == nullptr) {
    close(fd);
  }
  return fp;
}

bool QrFile::Close() {
  if (m_fp != nullptr) {
    fclose(m_fp);
    m_fp = nullptr;
  }
  return true;
}

bool QrFile::Write(const char* buffer) {
  if (m_fp == nullptr || buffer == nullptr) {
    return false;
  }
  size_t len = strlen(buffer);
  return fwrite(buffer, 1, len, m_fp) == len;
}

bool QrFile::Flush() { return m_fp != nullptr && fflush(m_fp) == 0; }

bool QrFile::SetBufferSize(size_t bytes) {
  return m_fp != nullptr && setvbuf(m_fp, nullptr, _IOFBF, bytes) == 0;
}

bool QrFile::Size(int64_t* pSize) {
  if (m_absPath.empty()) {
    return false;
  }
  if (m_fp != nullptr) {
    long pos = ftell(m_fp);
    if (pos < 0) {
      return false;
    }
    if (pSize != nullptr) {
      *pSize = pos;
    }
    return true;
  }
  return FileSize(m_absPath, pSize);
}

bool QrFile::Exists() const { return !m_absPath.empty() && FileUtils::Exists(m_absPath); }

bool QrFile::Delete() { return !m_absPath.empty() && DeleteFile(m_absPath); }

std::string QrFile::GetFolderName() const { return FolderName(m_absPath); }
std::string QrFile::GetFileName() const { return FileName(m_absPath); }
std::string QrFile::GetBaseName() const { return BaseName(m_absPath); }
std::string QrFile::GetExtension() const { return Extension(m_absPath); }

}  // namespace FileUtils
