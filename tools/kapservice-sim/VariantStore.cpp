#include "VariantStore.h"

#include <cstdlib>
#include <cstring>

namespace kapsim {

VariantStore& VariantStore::Get() {
  static VariantStore s_store;
  return s_store;
}

bool VariantStore::IsKnownType(uint16_t vt) {
  switch (vt) {
    case KAP_RPC_VT_EMPTY:
    case KAP_RPC_VT_NULL:
    case KAP_RPC_VT_I2:
    case KAP_RPC_VT_I4:
    case KAP_RPC_VT_R4:
    case KAP_RPC_VT_R8:
    case KAP_RPC_VT_I1:
    case KAP_RPC_VT_UI1:
    case KAP_RPC_VT_UI2:
    case KAP_RPC_VT_UI4:
    case KAP_RPC_VT_I8:
    case KAP_RPC_VT_UI8:
    case KAP_RPC_VT_LPSTR:
    case KAP_RPC_VT_BLOB:
      return true;
    default:
      return false;
  }
}

StoredPtr VariantStore::Store(const KAP_RPC_VARIANT* v, const char* name) {
  if (v == nullptr || !IsKnownType(v->vt)) return nullptr;
  auto out = std::make_shared<StoredValue>();
  if (name != nullptr) {
    out->named = true;
    out->name = name;
  }
  out->scalar.vt = v->vt;
  if (v->vt == KAP_RPC_VT_LPSTR) {
    if (v->strVal == nullptr) return nullptr;
    out->str = v->strVal;
  } else if (v->vt == KAP_RPC_VT_BLOB) {
    if (v->blobVal.size > 0 && v->blobVal.blobData == nullptr) return nullptr;
    out->blob.assign(v->blobVal.blobData, v->blobVal.blobData + v->blobVal.size);
  } else {
    // Only the member the type names: a caller need not have set the rest of the union.
    switch (v->vt) {
      case KAP_RPC_VT_I1:
      case KAP_RPC_VT_UI1:
        out->scalar.cVal = v->cVal;
        break;
      case KAP_RPC_VT_I2:
        out->scalar.iVal = v->iVal;
        break;
      case KAP_RPC_VT_UI2:
        out->scalar.uiVal = v->uiVal;
        break;
      case KAP_RPC_VT_I4:
        out->scalar.lVal = v->lVal;
        break;
      case KAP_RPC_VT_UI4:
        out->scalar.ulVal = v->ulVal;
        break;
      case KAP_RPC_VT_R4:
        out->scalar.fVal = v->fVal;
        break;
      case KAP_RPC_VT_I8:
      case KAP_RPC_VT_UI8:
      case KAP_RPC_VT_R8:
        out->scalar.ullVal = v->ullVal;
        break;
      default:
        break;  // EMPTY and NULL carry no value
    }
  }
  return out;
}

bool VariantStore::HandOut(const StoredValue& value, KAP_RPC_VARIANT* out) {
  KAP_RPC_VARIANT v = value.scalar;
  if (v.vt == KAP_RPC_VT_LPSTR) {
    char* p = Allocate(value.str.size() + 1);
    if (p == nullptr) return false;
    std::memcpy(p, value.str.c_str(), value.str.size() + 1);
    v.strVal = p;
  } else if (v.vt == KAP_RPC_VT_BLOB) {
    v.blobVal.size = static_cast<uint32_t>(value.blob.size());
    v.blobVal.blobData = nullptr;
    if (!value.blob.empty()) {
      char* p = Allocate(value.blob.size());
      if (p == nullptr) return false;
      std::memcpy(p, value.blob.data(), value.blob.size());
      v.blobVal.blobData = p;
    }
  }
  *out = v;
  return true;
}

KAP_RPC_VARIANT VariantStore::View(const StoredValue& value) {
  KAP_RPC_VARIANT v = value.scalar;
  if (v.vt == KAP_RPC_VT_LPSTR) {
    v.strVal = const_cast<char*>(value.str.c_str());
  } else if (v.vt == KAP_RPC_VT_BLOB) {
    v.blobVal.size = static_cast<uint32_t>(value.blob.size());
    v.blobVal.blobData = value.blob.empty() ? nullptr : const_cast<char*>(value.blob.data());
  }
  return v;
}

char* VariantStore::Allocate(size_t size) {
  char* p = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  if (p == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(m_lock);
  m_live.insert(p);
  return p;
}

bool VariantStore::Release(void* p) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_live.erase(p) == 0) return false;
  }
  std::free(p);
  return true;
}

bool VariantStore::Owns(const void* p) {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_live.count(const_cast<void*>(p)) != 0;
}

int64_t VariantStore::Live() {
  std::lock_guard<std::mutex> guard(m_lock);
  return static_cast<int64_t>(m_live.size());
}

uint64_t VariantStore::BadClears() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_badClears;
}

void VariantStore::CountBadClear() {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_badClears;
}

}  // namespace kapsim
