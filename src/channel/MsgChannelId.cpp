#include "channel/MsgChannelId.h"

#include "channel/RPCPluginInstance.h"

namespace {

// Handles of all message channels of the process. Made on first use and never destroyed,
// so records released during process exit still find it.
UserDataMap<WkPtr<MsgChannelId>>& HandleMap() {
  static UserDataMap<WkPtr<MsgChannelId>>* s_userDataMap = [] {
    auto* map = new UserDataMap<WkPtr<MsgChannelId>>();
    map->AddRef();
    return map;
  }();
  return *s_userDataMap;
}

}  // namespace

MsgChannelId::MsgChannelId(const char* name, RPCPluginInstance* instance)
    : m_isReady(false),
      m_name(name != nullptr ? name : ""),
      m_instance(instance),
      m_kapMsgChannelId(nullptr),
      m_handleToThis(HandleMap().Insert(WkPtr<MsgChannelId>(this))) {}

MsgChannelId::~MsgChannelId() {
  if (m_handleToThis != nullptr) {
    HandleMap().Remove(m_handleToThis);
  }
}

void MsgChannelId::OnOpen(KapMsgChannelID id) {
  m_kapMsgChannelId.store(id);
  m_isReady.store(true);
}

void MsgChannelId::OnClose() { m_isReady.store(false); }

RCPtr<MsgChannelId> MsgChannelId::GetThisFromHandle(UserDataHandle handle) {
  if (handle == nullptr) {
    return RCPtr<MsgChannelId>();
  }
  return HandleMap().Get(handle).Lock();
}

RCPtr<RPCPluginInstance> MsgChannelId::GetRPCInstance() const { return m_instance.Lock(); }
