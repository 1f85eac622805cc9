// A KAP_RPC_VARIANT that initialises and clears itself through the variant table of an
// instance's manager, so that a string or blob the library put into it is always freed.
// Not thread safe: a stack object of one call.
#ifndef CHANNEL_RPCVARIANT_H
#define CHANNEL_RPCVARIANT_H

#include "channel/KapServiceApi.h"

class RPCPluginInstance;

class RPCVariant : public KAP_RPC_VARIANT {
 public:
  explicit RPCVariant(RPCPluginInstance* plugin);
  ~RPCVariant();
  RPCVariant(const RPCVariant&) = delete;
  RPCVariant& operator=(const RPCVariant&) = delete;

 private:
  const KAPRPC_VariantInterface* Table() const;

  RPCPluginInstance* m_plugin;
};

#endif  // CHANNEL_RPCVARIANT_H
