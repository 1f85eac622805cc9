#include "runtime/PropertyManager.h"

#include "runtime/StringUtils.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

bool IsPlain(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

void PropertyManager::Add(const std::string& key, const std::string& value) {
  m_properties[key] = value;
}

bool PropertyManager::Get(const std::string& key, std::string* value) const {
  auto it = m_properties.find(key);
  if (it == m_properties.end()) {
    return false;
  }
  if (value != nullptr) {
    *value = it->second;
  }
  return true;
}

bool PropertyManager::Exists(const std::string& key) const { return m_properties.count(key) != 0; }

bool PropertyManager::Remove(const std::string& key) { return m_properties.erase(key) != 0; }

std::string PropertyManager::ToString() const {
  std::string text;
  bool first = true;
  for (const auto& entry : m_properties) {
    if (!first) {
      text += ',';
    }
    first = false;
    Encode(entry.first, &text);
    text += ',';
    Encode(entry.second, &text);
  }
  return text;
}

bool PropertyManager::FromString(const std::string& text) {
  std::vector<std::string> pieces;
  Split(text, ',', pieces);
  bool result = pieces.size() % 2 == 0;
  for (size_t i = 0; i + 1 < pieces.size(); i += 2) {
    std::string key;
    std::string value;
    if (!Decode(pieces[i], &key) || !Decode(pieces[i + 1], &value)) {
      return false;
    }
    Add(key, value);
  }
  return result;
}

void PropertyManager::Encode(const std::string& in, std::string* out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char c : in) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte == 0) {
      break;
    }
    if (IsPlain(byte)) {
      *out += c;
    } else {
      *out += '/';
      *out += kHex[byte >> 4];
      *out += kHex[byte & 0xF];
    }
  }
}

bool PropertyManager::Decode(const std::string& in, std::string* out) {
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '/') {
      *out += in[i];
      continue;
    }
    int high = i + 1 < in.size() ? HexValue(in[i + 1]) : -1;
    int low = i + 2 < in.size() ? HexValue(in[i + 2]) : -1;
    if (high < 0 || low < 0) {
      return false;
    }
    *out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

int PropertyManager::Split(const std::string& text, char sep, std::vector<std::string>& pieces) {
  return StringUtils::split(text, sep, pieces);
}
