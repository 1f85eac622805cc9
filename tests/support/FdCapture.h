// Sends a file descriptor (1 or 2) into a temporary file until Text() reads what arrived.
// Not thread safe; nothing else may redirect the same descriptor meanwhile.
#ifndef TESTS_SUPPORT_FDCAPTURE_H
#define TESTS_SUPPORT_FDCAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <string>

class FdCapture {
 public:
  explicit FdCapture(int fd) : m_fd(fd), m_file(std::tmpfile()) {
    std::fflush(nullptr);
    m_saved = dup(fd);
    dup2(fileno(m_file), fd);
  }
  ~FdCapture() { Text(); }
  std::string Text() {
    if (m_saved >= 0) {
      std::fflush(nullptr);
      dup2(m_saved, m_fd);
      close(m_saved);
      m_saved = -1;
      std::rewind(m_file);
      for (int c; (c = std::fgetc(m_file)) != EOF;) {
        m_text += static_cast<char>(c);
      }
      std::fclose(m_file);
    }
    return m_text;
  }

 private:
  int m_fd;
  FILE* m_file;
  int m_saved = -1;
  std::string m_text;
};

#endif  // TESTS_SUPPORT_FDCAPTURE_H
