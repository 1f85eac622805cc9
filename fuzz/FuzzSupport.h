// What the fuzz targets share, on the fuzzing thread only: a check that reports a finding by
// aborting (libFuzzer and the replay main catch that), a reader of the input's fields.
#ifndef FUZZ_FUZZSUPPORT_H
#define FUZZ_FUZZSUPPORT_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

inline void Require(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "finding: %s\n", what);
    abort();
  }
}

// Reads the input field by field; past its end every field reads as zero or empty.
class FuzzReader {
 public:
  FuzzReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint64_t Bytes(size_t count) {  // little endian
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) {
      value |= static_cast<uint64_t>(Byte()) << (8 * i);
    }
    return value;
  }
  // A length byte (255: a 16-bit length follows), then up to that many bytes.
  std::string Text() {
    size_t length = Byte();
    return Take(length == 255 ? Bytes(2) : length);
  }
  // The bytes up to the first NUL, which is skipped.
  std::string CString() {
    std::string out = Take(strnlen(reinterpret_cast<const char*>(m_data + m_pos), m_size - m_pos));
    m_pos += m_pos < m_size ? 1 : 0;
    return out;
  }
  std::string Rest() { return Take(m_size - m_pos); }

 private:
  std::string Take(size_t length) {
    std::string out(reinterpret_cast<const char*>(m_data + m_pos),
                    std::min(length, m_size - m_pos));
    m_pos += out.size();
    return out;
  }

  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

#endif  // FUZZ_FUZZSUPPORT_H
