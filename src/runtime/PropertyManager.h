// A property bag: string keys with string values, in byte-wise key order, with a one-line
// text form. Keys and values are escaped so that only ASCII letters, digits, "/" and ","
// appear ("/" and two upper-case hexadecimal digits for every other byte) and joined with
// commas: key1,value1,key2,value2. A plain value class; QrPropertyManager is its
// reference-counted twin.
// Not thread safe: one bag is used by one thread at a time.
#ifndef RUNTIME_PROPERTYMANAGER_H
#define RUNTIME_PROPERTYMANAGER_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

class PropertyManager {
 public:
  typedef std::map<std::string, std::string> PropertyMap;

  // Inserts the entry or replaces the value of an existing key.
  void Add(const std::string& key, const std::string& value);
  // Whether the key exists; its value is copied to *value when value is not null.
  bool Get(const std::string& key, std::string* value) const;
  bool Exists(const std::string& key) const;
  bool Remove(const std::string& key);
  void RemoveAll() { m_properties.clear(); }
  size_t Count() const { return m_properties.size(); }

  std::string ToString() const;
  // Adds the entries of a bag's text; the bag is not cleared first. False for an odd
  // number of pieces (the last is ignored) or at the first piece that does not decode
  // (the pairs before it stay added). The empty text is one piece, hence false.
  bool FromString(const std::string& text);

  // Appends the escaped form of in, up to its first NUL byte, to *out.
  static void Encode(const std::string& in, std::string* out);
  // Appends the unescaped form of in to *out; false at a "/" not followed by two
  // hexadecimal digits (what was appended before it stays).
  static bool Decode(const std::string& in, std::string* out);
  // The string utilities' split: every piece between separators, empty ones included.
  static int Split(const std::string& text, char sep, std::vector<std::string>& pieces);

 private:
  PropertyMap m_properties;
};

#endif  // RUNTIME_PROPERTYMANAGER_H
