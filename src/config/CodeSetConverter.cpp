#include "config/CodeSetConverter.h"

#include <langinfo.h>

#include <climits>
#include <cstring>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>
#include <vector>

CodeSetConverter::CodeSetConverter(const std::string& encoding) {
  // An empty name would open ICU's default converter, which is not what a file asked for.
  if (encoding.empty() || encoding.find('\0') != std::string::npos) {
    return;
  }
  UErrorCode err = U_ZERO_ERROR;
  UConverter* conv = ucnv_open(encoding.c_str(), &err);
  if (U_FAILURE(err) || conv == nullptr) {
    if (conv != nullptr) {
      ucnv_close(conv);
    }
    return;
  }
  ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
  ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
  const char* name = ucnv_getName(conv, &err);
  if (U_FAILURE(err) || name == nullptr) {
    ucnv_close(conv);
    return;
  }
  m_converter = conv;
  m_canonicalName = name;
  m_isUtf8 = ucnv_getType(conv) == UCNV_UTF8;
}

CodeSetConverter::~CodeSetConverter() {
  if (m_converter != nullptr) {
    ucnv_close(m_converter);
  }
}

namespace {

// ICU's two calls: the first, without a buffer, measures; the second converts into a buffer
// of that size plus `spare` units. `convert(dest, capacity, err)` returns the length.
template <typename Buffer, typename Convert>
bool MeasureThenConvert(const Convert& convert, size_t spare, Buffer* buf, int32_t* len) {
  UErrorCode err = U_ZERO_ERROR;
  int32_t need = convert(nullptr, 0, &err);
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) {
    return false;
  }
  Buffer result(static_cast<size_t>(need) + spare, typename Buffer::value_type());
  err = U_ZERO_ERROR;
  *len = convert(result.data(), static_cast<int32_t>(result.size()), &err);
  if (U_FAILURE(err)) {
    return false;
  }
  *buf = std::move(result);
  return true;
}

}  // namespace

bool CodeSetConverter::ToUtf8(const std::string& in, std::string* out) {
  if (m_converter == nullptr || in.size() > INT32_MAX / 4) {
    return false;
  }
  int32_t inLen = static_cast<int32_t>(in.size());
  if (inLen == 0) {
    out->clear();
    return true;
  }
  // Measured exactly: a converter may emit two UTF-16 units for one byte.
  std::vector<UChar> u16;
  int32_t u16Len = 0;
  auto toU16 = [&](UChar* dest, int32_t capacity, UErrorCode* err) {
    ucnv_resetToUnicode(m_converter);
    return ucnv_toUChars(m_converter, dest, capacity, in.data(), inLen, err);
  };
  if (!MeasureThenConvert(toU16, 1, &u16, &u16Len)) {
    return false;
  }
  // Writing exactly the measured length leaves no room for a terminator: ICU reports that
  // as a warning, which U_FAILURE does not count.
  std::string result;
  int32_t u8Len = 0;
  auto toU8 = [&](char* dest, int32_t capacity, UErrorCode* err) {
    int32_t n = 0;
    u_strToUTF8(dest, capacity, &n, u16.data(), u16Len, err);
    return n;
  };
  if (!MeasureThenConvert(toU8, 0, &result, &u8Len)) {
    return false;
  }
  *out = std::move(result);
  return true;
}

bool CodeSetConverter::FromUtf8(const std::string& in, std::string* out) {
  if (m_converter == nullptr || in.size() > INT32_MAX / 4) {
    return false;
  }
  int32_t inLen = static_cast<int32_t>(in.size());
  if (inLen == 0) {
    out->clear();
    return true;
  }
  std::vector<UChar> u16;
  int32_t u16Len = 0;
  auto fromU8 = [&](UChar* dest, int32_t capacity, UErrorCode* err) {
    int32_t n = 0;
    u_strFromUTF8(dest, capacity, &n, in.data(), inLen, err);
    return n;
  };
  if (!MeasureThenConvert(fromU8, 1, &u16, &u16Len)) {
    return false;
  }
  std::string result;
  int32_t outLen = 0;
  auto fromU16 = [&](char* dest, int32_t capacity, UErrorCode* err) {
    ucnv_resetFromUnicode(m_converter);
    return ucnv_fromUChars(m_converter, dest, capacity, u16.data(), u16Len, err);
  };
  if (!MeasureThenConvert(fromU16, 1, &result, &outLen)) {
    return false;
  }
  result.resize(static_cast<size_t>(outLen));
  *out = std::move(result);
  return true;
}

std::string CodeSetConverter::GetDefaultEncoding() {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || codeset[0] == '\0' || strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
      strcmp(codeset, "ASCII") == 0 || strcmp(codeset, "US-ASCII") == 0) {
    return "UTF-8";
  }
  return codeset;
}

std::string CodeSetConverter::Canonicalize(const std::string& encoding) {
  CodeSetConverter conv(encoding);
  return conv.GetCanonicalName();
}
