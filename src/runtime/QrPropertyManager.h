// The reference-counted twin of PropertyManager, for bags held by RCPtr (the log
// configuration reader keeps its settings in one). Same text form and operations; the
// empty text reads as an empty bag (FromString answers true), and a null text pointer
// counts as empty.
// Not thread safe: the holder serialises access (the configuration reader does so under
// the logging lock).
#ifndef RUNTIME_QRPROPERTYMANAGER_H
#define RUNTIME_QRPROPERTYMANAGER_H

#include <string>

#include "runtime/PropertyManager.h"
#include "runtime/RCPtr.h"

class QrPropertyManager : public RCObject, private PropertyManager {
 public:
  typedef PropertyManager::PropertyMap PropertyMap;

  QrPropertyManager() = default;

  using PropertyManager::Add;
  using PropertyManager::Count;
  using PropertyManager::Decode;
  using PropertyManager::Encode;
  using PropertyManager::Exists;
  using PropertyManager::Get;
  using PropertyManager::Remove;
  using PropertyManager::RemoveAll;
  using PropertyManager::ToString;

  bool FromString(const std::string& text);
  bool FromString(const char* text);

 protected:
  ~QrPropertyManager() override = default;
};

typedef RCPtr<QrPropertyManager> QrPropertyManagerPtr;

#endif  // RUNTIME_QRPROPERTYMANAGER_H
