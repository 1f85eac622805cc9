// Reads a whole file the system does not trust (preferences, dictionaries, the log
// configuration file) within limits, so that a pipe, a device or a huge file is refused in
// one place instead of blocking the caller or exhausting memory. Only regular files are
// read: the file is opened without blocking (a named pipe without a writer answers at once)
// and without becoming a controlling terminal, and fstat decides. A file larger than the
// size limit, or with a line longer than the line limit, is refused as a whole: the caller
// treats it as unreadable and goes on with its defaults. The size limit holds for what is
// actually read, so a file that grows while it is read (or whose size the system does not
// know, as in /proc) cannot exceed it. Refusals (not a regular file, too large, line too
// long) are logged here at warn level; open, stat and read failures are only reported,
// since callers word those themselves (a missing optional file is no news).
// Not thread safe: an instance keeps the last call's errno and line; use one per caller.
#ifndef RUNTIME_BOUNDEDFILEREADER_H
#define RUNTIME_BOUNDEDFILEREADER_H

#include <cstddef>
#include <string>
#include <vector>

class BoundedFileReader {
 public:
  enum Result {
    READ_OK = 0,
    READ_OPEN_FAILED,    // open failed; Error() holds errno (ENOENT for a missing file)
    READ_STAT_FAILED,    // fstat failed; Error() holds errno
    READ_IS_DIRECTORY,   // a directory (not a regular file either)
    READ_NOT_REGULAR,    // a pipe, socket or device
    READ_TOO_LARGE,      // more than MaxFileBytes() bytes
    READ_LINE_TOO_LONG,  // a line of more than MaxLineBytes() bytes; see Line()
    READ_FAILED          // read failed; Error() holds errno
  };

  // Preference and configuration files hold a few kilobytes; these leave a wide margin
  // for real files while keeping a hostile one from costing more than a megabyte.
  static const size_t kDefaultMaxFileBytes = 1024 * 1024;
  static const size_t kDefaultMaxLineBytes = 64 * 1024;

  explicit BoundedFileReader(size_t maxFileBytes = kDefaultMaxFileBytes,
                             size_t maxLineBytes = kDefaultMaxLineBytes);

  // The file's bytes in *text (emptied first, and left empty on any failure).
  Result ReadAll(const std::string& path, std::string* text);
  // The file's lines in *lines (emptied first): a line ends at a line feed, a carriage
  // return, or both in that order, and its end is not part of it; a last line without an
  // end counts, an empty file has none.
  Result ReadLines(const std::string& path, std::vector<std::string>* lines);

  // errno of the failed system call of the last call, 0 when none failed.
  int Error() const { return m_error; }
  // For READ_LINE_TOO_LONG: the 1-based number of the first line that is too long.
  int Line() const { return m_line; }
  size_t MaxFileBytes() const { return m_maxFileBytes; }
  size_t MaxLineBytes() const { return m_maxLineBytes; }

 private:
  Result Read(const std::string& path, std::string* text);

  size_t m_maxFileBytes;
  size_t m_maxLineBytes;
  int m_error = 0;
  int m_line = 0;
};

#endif  // RUNTIME_BOUNDEDFILEREADER_H
