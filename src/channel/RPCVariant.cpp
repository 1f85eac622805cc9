#include "channel/RPCVariant.h"

#include <cstring>

#include "channel/RPCManager.h"
#include "channel/RPCPluginInstance.h"

RPCVariant::RPCVariant(RPCPluginInstance* plugin) : KAP_RPC_VARIANT(), m_plugin(plugin) {
  const KAPRPC_VariantInterface* table = Table();
  if (table != nullptr && table->v1.VariantInit != nullptr) {
    table->v1.VariantInit(this);
  }
}

RPCVariant::~RPCVariant() {
  const KAPRPC_VariantInterface* table = Table();
  if (table != nullptr && table->v1.VariantClear != nullptr) {
    table->v1.VariantClear(this);
  }
}

const KAPRPC_VariantInterface* RPCVariant::Table() const {
  if (m_plugin == nullptr || m_plugin->GetRPCManager() == nullptr) {
    return nullptr;
  }
  return m_plugin->GetRPCManager()->VariantInterface();
}
