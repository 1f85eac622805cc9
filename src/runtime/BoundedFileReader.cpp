#include "runtime/BoundedFileReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

#include "logging/Log.h"

namespace {

const size_t kChunkBytes = 64 * 1024;

class FdCloser {
 public:
  explicit FdCloser(int fd) : m_fd(fd) {}
  ~FdCloser() { close(m_fd); }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int m_fd;
};

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

}  // namespace

BoundedFileReader::BoundedFileReader(size_t maxFileBytes, size_t maxLineBytes)
    : m_maxFileBytes(maxFileBytes), m_maxLineBytes(maxLineBytes) {}

BoundedFileReader::Result BoundedFileReader::ReadAll(const std::string& path, std::string* text) {
  text->clear();
  Result result = Read(path, text);
  if (result != READ_OK) {
    text->clear();
  }
  return result;
}

BoundedFileReader::Result BoundedFileReader::ReadLines(const std::string& path,
                                                       std::vector<std::string>* lines) {
  lines->clear();
  std::string text;
  Result result = ReadAll(path, &text);
  if (result != READ_OK) {
    return result;
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && !IsLineEnd(text[end])) {
      ++end;
    }
    lines->emplace_back(text, start, end - start);
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
      ++end;
    }
    start = end + 1;
  }
  return READ_OK;
}

BoundedFileReader::Result BoundedFileReader::Read(const std::string& path, std::string* text) {
  m_error = 0;
  m_line = 0;
  // O_NONBLOCK: opening a named pipe must not wait for a writer. O_NOCTTY: a terminal
  // named here must not become the process's controlling terminal.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    m_error = errno;
    return READ_OPEN_FAILED;
  }
  FdCloser closer(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    m_error = errno;
    return READ_STAT_FAILED;
  }
  if (!S_ISREG(st.st_mode)) {
    QR_LOG(LOGGER_LOG_WARN, "File \"%s\" is not a regular file; it is not read.\n", path.c_str());
    return S_ISDIR(st.st_mode) ? READ_IS_DIRECTORY : READ_NOT_REGULAR;
  }
  const size_t sizeHint = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  bool tooLarge = sizeHint > m_maxFileBytes;
  if (!tooLarge) {
    text->reserve(sizeHint);
    // One byte beyond the limit is enough to know the file is too large.
    while (text->size() <= m_maxFileBytes) {
      size_t want = std::min(kChunkBytes, m_maxFileBytes + 1 - text->size());
      size_t have = text->size();
      text->resize(have + want);
      ssize_t n = read(fd, &(*text)[have], want);
      if (n < 0 && errno == EINTR) {
        text->resize(have);
        continue;
      }
      if (n < 0) {
        m_error = errno;
        return READ_FAILED;
      }
      text->resize(have + static_cast<size_t>(n));
      if (n == 0) {
        break;
      }
    }
    tooLarge = text->size() > m_maxFileBytes;
  }
  if (tooLarge) {
    QR_LOG(LOGGER_LOG_WARN, "File \"%s\" is larger than %zu bytes; it is not read.\n", path.c_str(),
           m_maxFileBytes);
    return READ_TOO_LARGE;
  }
  size_t lineLength = 0;
  int line = 1;
  for (size_t i = 0; i < text->size(); ++i) {
    char c = (*text)[i];
    if (!IsLineEnd(c)) {
      if (++lineLength > m_maxLineBytes) {
        m_line = line;
        QR_LOG(LOGGER_LOG_WARN, "File \"%s\" line %d is longer than %zu bytes; it is not read.\n",
               path.c_str(), line, m_maxLineBytes);
        return READ_LINE_TOO_LONG;
      }
      continue;
    }
    lineLength = 0;
    if (!(c == '\r' && i + 1 < text->size() && (*text)[i + 1] == '\n')) {
      ++line;
    }
  }
  return READ_OK;
}
