// Validation and conversion of byte strings between a named character encoding and UTF-8,
// for the values of dictionary files. Conversions stop at the first byte sequence that is
// not valid in the encoding (nothing is substituted). Encoding names are those the
// International Components for Unicode know, with their aliases ("latin1", "utf8").
// Not thread safe: one converter per thread; open one per load.
#ifndef CONFIG_CODESETCONVERTER_H
#define CONFIG_CODESETCONVERTER_H

#include <string>

struct UConverter;

class CodeSetConverter {
 public:
  explicit CodeSetConverter(const std::string& encoding);
  ~CodeSetConverter();
  CodeSetConverter(const CodeSetConverter&) = delete;
  CodeSetConverter& operator=(const CodeSetConverter&) = delete;

  // False when the encoding is unknown; the conversions then fail.
  bool IsValid() const { return m_converter != nullptr; }
  // The converter's own name for the encoding; equal for two aliases of one encoding.
  const std::string& GetCanonicalName() const { return m_canonicalName; }
  bool IsUtf8() const { return m_isUtf8; }

  // in (in this encoding) to *out (UTF-8); false when in is not valid in the encoding.
  bool ToUtf8(const std::string& in, std::string* out);
  // in (UTF-8) to *out (this encoding); false when in is not valid UTF-8 or a character
  // has no representation in the encoding.
  bool FromUtf8(const std::string& in, std::string* out);

  // The process's character encoding (that of the current locale). The C and POSIX
  // locales, which only name ASCII, count as UTF-8, a superset that reads the same files.
  static std::string GetDefaultEncoding();
  // The canonical name of an encoding, or "" when it is not supported.
  static std::string Canonicalize(const std::string& encoding);

 private:
  UConverter* m_converter = nullptr;
  std::string m_canonicalName;
  bool m_isUtf8 = false;
};

#endif  // CONFIG_CODESETCONVERTER_H
