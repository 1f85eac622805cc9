#include "FunctionRegistry.h"

#include <cstring>

namespace kapsim {
namespace {

const char* const kNames[] = {
#define KAPSIM_NAME(id, name) name,
    KAPSIM_FUNCTIONS(KAPSIM_NAME)
#undef KAPSIM_NAME
};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(Fn::Count), "names");

const char* const kTables[] = {"Channel",    "ChannelObject", "Context",      "Variant",
                               "StreamData", "Server",        "OverlayClient"};
// The highest version each table has, and the default offer.
const uint32_t kTableMax[] = {3, 4, 2, 1, 2, 1, 0};

}  // namespace

FunctionRegistry& FunctionRegistry::Get() {
  static FunctionRegistry s_registry;
  return s_registry;
}

FunctionRegistry::FunctionRegistry() { Reset(); }

int FunctionRegistry::Find(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < static_cast<int>(Fn::Count); ++i) {
    if (std::strcmp(kNames[i], name) == 0) return i;
  }
  return -1;
}

bool FunctionRegistry::SetFault(int index, Fault fault) {
  if (index < 0 || index >= static_cast<int>(Fn::Count)) return false;
  if (fault != FAULT_NONE && fault != FAULT_FAIL && fault != FAULT_ABSENT) return false;
  // dlsym finds an exported entry point whatever we switch: absence needs a build variant.
  if (fault == FAULT_ABSENT && IsEntryPoint(index)) return false;
  m_slots[index].fault.store(fault, std::memory_order_relaxed);
  return true;
}

bool FunctionRegistry::SetFaultAfter(int index, uint32_t passes) {
  if (index < 0 || index >= static_cast<int>(Fn::Count)) return false;
  m_slots[index].passes.store(passes, std::memory_order_relaxed);
  m_slots[index].fault.store(FAULT_FAIL_AFTER, std::memory_order_relaxed);
  return true;
}

bool FunctionRegistry::SetMaxVersion(const char* table, uint32_t version) {
  if (table == nullptr) return false;
  for (int t = 0; t < static_cast<int>(Table::Count); ++t) {
    if (std::strcmp(kTables[t], table) == 0) {
      if (version > kTableMax[t]) return false;
      m_maxVersion[t].store(version, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

void FunctionRegistry::OfferVersion1Only() {
  for (int t = 0; t < static_cast<int>(Table::Count); ++t) {
    m_maxVersion[t].store(kTableMax[t] < 1 ? kTableMax[t] : 1, std::memory_order_relaxed);
  }
}

void FunctionRegistry::Reset() {
  for (Slot& s : m_slots) {
    s.calls.store(0, std::memory_order_relaxed);
    s.fault.store(FAULT_NONE, std::memory_order_relaxed);
  }
  for (int t = 0; t < static_cast<int>(Table::Count); ++t) {
    m_maxVersion[t].store(kTableMax[t], std::memory_order_relaxed);
  }
}

uint64_t FunctionRegistry::Calls(int index) const {
  if (index < 0 || index >= static_cast<int>(Fn::Count)) return 0;
  return m_slots[index].calls.load(std::memory_order_relaxed);
}

}  // namespace kapsim
