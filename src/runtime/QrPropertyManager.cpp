#include "runtime/QrPropertyManager.h"

bool QrPropertyManager::FromString(const std::string& text) {
  return text.empty() || PropertyManager::FromString(text);
}

bool QrPropertyManager::FromString(const char* text) {
  return FromString(std::string(text != nullptr ? text : ""));
}
