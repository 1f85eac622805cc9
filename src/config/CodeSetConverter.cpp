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

bool CodeSetConverter::ToUtf8(const std::string& in, std::string* out) {
  if (m_converter == nullptr || in.size() > INT32_MAX / 4) {
    return false;
  }
  int32_t inLen = static_cast<int32_t>(in.size());
  if (inLen == 0) {
    out->clear();
    return true;
  }
  // Preflight for the exact UTF-16 length; a converter may emit two units for one byte.
  UErrorCode err = U_ZERO_ERROR;
  ucnv_resetToUnicode(m_converter);
  int32_t u16Len = ucnv_toUChars(m_converter, nullptr, 0, in.data(), inLen, &err);
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) {
    return false;
  }
  std::vector<UChar> u16(static_cast<size_t>(u16Len) + 1);
  err = U_ZERO_ERROR;
  ucnv_resetToUnicode(m_converter);
  u16Len = ucnv_toUChars(m_converter, u16.data(), static_cast<int32_t>(u16.size()), in.data(),
                         inLen, &err);
  if (U_FAILURE(err)) {
    return false;
  }
  err = U_ZERO_ERROR;
  int32_t u8Len = 0;
  u_strToUTF8(nullptr, 0, &u8Len, u16.data(), u16Len, &err);
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) {
    return false;
  }
  std::string result(static_cast<size_t>(u8Len), '\0');
  err = U_ZERO_ERROR;
  u_strToUTF8(result.data(), u8Len, &u8Len, u16.data(), u16Len, &err);
  // Writing exactly u8Len bytes leaves no room for a terminator: ICU reports that as a
  // warning, which U_FAILURE does not count.
  if (U_FAILURE(err)) {
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
  UErrorCode err = U_ZERO_ERROR;
  int32_t u16Len = 0;
  u_strFromUTF8(nullptr, 0, &u16Len, in.data(), inLen, &err);
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) {
    return false;
  }
  std::vector<UChar> u16(static_cast<size_t>(u16Len) + 1);
  err = U_ZERO_ERROR;
  u_strFromUTF8(u16.data(), static_cast<int32_t>(u16.size()), &u16Len, in.data(), inLen, &err);
  if (U_FAILURE(err)) {
    return false;
  }
  err = U_ZERO_ERROR;
  ucnv_resetFromUnicode(m_converter);
  int32_t outLen = ucnv_fromUChars(m_converter, nullptr, 0, u16.data(), u16Len, &err);
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) {
    return false;
  }
  std::string result(static_cast<size_t>(outLen) + 1, '\0');
  err = U_ZERO_ERROR;
  ucnv_resetFromUnicode(m_converter);
  outLen = ucnv_fromUChars(m_converter, result.data(), static_cast<int32_t>(result.size()), u16.data(),
                           u16Len, &err);
  if (U_FAILURE(err)) {
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
