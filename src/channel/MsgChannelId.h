// The framework's record of one message channel a plug-in instance opened: its name, the
// library's id once the channel is open, and the opaque handle (MsgChannelHandle) through
// which the library's callbacks and the instance's callers find it again.
// Ownership: the opening instance holds the record while the channel is open; lookups by
// handle hand out counted references. The handle map holds only weak pointers, so a lookup
// racing the last release finds nothing instead of reviving a dying record.
// Thread safe: the map has its own mutex, held only around insertion, lookup and removal;
// the record's state is atomic.
#ifndef CHANNEL_MSGCHANNELID_H
#define CHANNEL_MSGCHANNELID_H

#include <atomic>
#include <string>

#include "channel/KapServiceApi.h"
#include "runtime/RCPtr.h"
#include "runtime/UserDataMap.h"
#include "runtime/WkPtr.h"

class RPCPluginInstance;

class MsgChannelId : public RCObject {
 public:
  // Registers the record under a fresh handle; the handle is null when all 4096 are in use.
  MsgChannelId(const char* name, RPCPluginInstance* instance);
  MsgChannelId(const MsgChannelId&) = delete;
  MsgChannelId& operator=(const MsgChannelId&) = delete;

  bool IsReady() const { return m_isReady.load(); }
  // The library reported the channel open under `id`.
  void OnOpen(KapMsgChannelID id);
  void OnClose();

  UserDataHandle GetHandleFromThis() const { return m_handleToThis; }
  // The record of a handle; empty when unknown or already gone.
  static RCPtr<MsgChannelId> GetThisFromHandle(UserDataHandle handle);
  // The opening instance; empty once it is gone.
  RCPtr<RPCPluginInstance> GetRPCInstance() const;
  const char* GetChannelName() const { return m_name.c_str(); }
  KapMsgChannelID GetKapMsgChannelID() const { return m_kapMsgChannelId.load(); }

 protected:
  ~MsgChannelId() override;

 private:
  std::atomic<bool> m_isReady;
  std::string m_name;
  WkPtr<RPCPluginInstance> m_instance;  // not counted: the instance holds the record
  std::atomic<KapMsgChannelID> m_kapMsgChannelId;
  UserDataHandle m_handleToThis;
};

#endif  // CHANNEL_MSGCHANNELID_H
