#include "config/DictLL.h"

#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::string Unescape(const char* p, size_t len) {
  std::string out;
  out.reserve(len);
  for (size_t i = 0; i < len; i++) {
    if (p[i] == '|' && i + 2 < len) {
      int hi = HexDigit(p[i + 1]);
      int lo = HexDigit(p[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(p[i]);
  }
  return out;
}

bool NeedsEscape(unsigned char c) {
  return (c <= 0x08) || (c >= 0x0A && c <= 0x1F) || c == '"' || c == '|' || c == 0x7F;
}

}  // namespace

bool DictLL_ParseLine(const std::string& line, std::string* name, std::string* value) {
  const char* p = line.data();
  size_t len = line.size();
  size_t i = 0;
  while (i < len && IsBlank(p[i])) {
    i++;
  }
  size_t nameStart = i;
  while (i < len && p[i] != '\0' && !IsBlank(p[i]) && p[i] != '#' && p[i] != '=') {
    i++;
  }
  if (i == nameStart) {
    return false;
  }
  size_t nameEnd = i;
  while (i < len && IsBlank(p[i])) {
    i++;
  }
  if (i >= len || p[i] != '=') {
    return false;
  }
  i++;
  while (i < len && IsBlank(p[i])) {
    i++;
  }
  size_t valueStart;
  size_t valueEnd;
  if (i < len && p[i] == '"') {
    i++;
    valueStart = i;
    while (i < len && p[i] != '"' && p[i] != '\0') {
      i++;
    }
    if (i >= len || p[i] != '"') {
      return false;
    }
    valueEnd = i;
    i++;
  } else {
    valueStart = i;
    while (i < len && p[i] != '\0' && !IsBlank(p[i]) && p[i] != '#') {
      i++;
    }
    valueEnd = i;
  }
  while (i < len && IsBlank(p[i])) {
    i++;
  }
  if (i < len && p[i] != '#') {
    return false;
  }
  name->assign(p + nameStart, nameEnd - nameStart);
  *value = Unescape(p + valueStart, valueEnd - valueStart);
  return true;
}

bool DictLL_IsComment(const std::string& line) {
  for (char c : line) {
    if (!IsBlank(c)) {
      return c == '#';
    }
  }
  return true;
}

size_t DictLL_UnmarshalLine(const char* buf, size_t size, std::string* line, std::string* name,
                            std::string* value) {
  if (size == 0) {
    return 0;
  }
  const void* nl = memchr(buf, '\n', size);
  size_t lineLen = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - buf) : size;
  line->assign(buf, lineLen);
  if (!DictLL_ParseLine(*line, name, value)) {
    name->clear();
    value->clear();
  }
  return nl != nullptr ? lineLen + 1 : lineLen;
}

void DictLL_MarshalLine(std::string* out, const std::string& name, const std::string& value) {
  if (name.empty()) {
    out->append(value);
    out->push_back('\n');
    return;
  }
  static const char kHex[] = "0123456789ABCDEF";
  out->append(name);
  out->append(" = \"");
  for (char c : value) {
    unsigned char u = static_cast<unsigned char>(c);
    if (NeedsEscape(u)) {
      out->push_back('|');
      out->push_back(kHex[u >> 4]);
      out->push_back(kHex[u & 0xF]);
    } else {
      out->push_back(c);
    }
  }
  out->append("\"\n");
}

size_t DictLL_SplitFileLine(const char* buf, size_t size, size_t* lineLength) {
  size_t i = 0;
  while (i < size && buf[i] != '\n' && buf[i] != '\r') {
    i++;
  }
  *lineLength = i;
  if (i == size) {
    return i;
  }
  if (buf[i] == '\r' && i + 1 < size && buf[i + 1] == '\n') {
    return i + 2;
  }
  return i + 1;
}

int DictLL_ReadLine(FILE* file, std::string* line, std::string* name, std::string* value) {
  line->clear();
  int c = getc(file);
  if (c == EOF) {
    return ferror(file) ? -1 : 0;
  }
  while (c != EOF && c != '\n' && c != '\r') {
    line->push_back(static_cast<char>(c));
    c = getc(file);
  }
  if (c == EOF && ferror(file)) {
    return -1;
  }
  if (c == '\r') {
    int next = getc(file);
    if (next != '\n' && next != EOF) {
      ungetc(next, file);
    }
  }
  if (!DictLL_ParseLine(*line, name, value)) {
    name->clear();
    value->clear();
  }
  return 1;
}

bool DictLL_WriteLine(FILE* file, const std::string& name, const std::string& value) {
  std::string out;
  DictLL_MarshalLine(&out, name, value);
  return fwrite(out.data(), 1, out.size(), file) == out.size();
}

bool DictLL_ReadUTF8BOM(FILE* file) {
  static const unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
  int got[3];
  int n = 0;
  while (n < 3) {
    got[n] = getc(file);
    if (got[n] != kBom[n]) {
      break;
    }
    n++;
  }
  if (n == 3) {
    return true;
  }
  // Put back what was read, last first; the C library keeps several pushed-back bytes.
  if (got[n] != EOF) {
    ungetc(got[n], file);
  }
  while (n > 0) {
    n--;
    ungetc(got[n], file);
  }
  clearerr(file);
  return false;
}
