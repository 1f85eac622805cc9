// Everything the stand-in channel-service library knows: servers and their channels, channel
// sinks, channel objects, message contexts, the simulated clients, and the queue of
// notifications that each channel delivers inside its polls. The C tables and entry points
// and the control API are thin wrappers over this class.
// Thread safe: one mutex (m_lock) guards all maps and queues; each message context has its
// own mutex for its contents (lock order: m_lock, then a context's lock). No callback into
// the caller is ever made with either lock held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KapServiceSim.h"
#include "VariantStore.h"

namespace kapsim {

using Handle = uintptr_t;

// A message context: made by CreateContext (the caller's) or for one callback (the library's).
struct Context {
  Context(uint32_t contextId, Handle obj, bool libOwned, uint32_t opts)
      : id(contextId), object(obj), libraryOwned(libOwned), options(opts) {}
  const uint32_t id;
  const Handle object;
  const bool libraryOwned;
  const uint32_t options;
  std::mutex lock;
  uint32_t command = 0;                 // guarded by lock
  std::string namedCommand;             // guarded by lock
  std::vector<StoredPtr> params;        // guarded by lock
  uint32_t returnCode = 0;              // guarded by lock
  std::vector<StoredPtr> returnValues;  // guarded by lock
  bool post = false;                    // guarded by lock
};

class SimState {
 public:
  static SimState& Get();

  // Entry points.
  bool StartServer(uint32_t sessionId, const char* token, void** channel);
  bool EndServer(uint32_t sessionId);
  bool StartMultiServer(uint32_t sessionId, const char* token, KapMultiServerID* id);
  bool EndMultiServer(KapMultiServerID id);

  // Server table: the servers of multi-server sessions, their message channels and ids.
  bool RegisterServerSink(void* userData, const KAPService_ServerNotifySink* sink,
                          KapMultiServerID multiServer, KapServerNotifySinkID* sinkId);
  bool UnregisterServerSink(KapServerNotifySinkID sinkId);
  bool IsServerKnown(KapServerID server);
  // Ends the server (all: every server of its session) as if its client had gone.
  bool StopServer(KapServerID server, bool all);
  void* ServerChannel(KapServerID server);
  // The server's unique serialised id; false for an unknown server.
  bool UniqueId(KapServerID server, std::string* id);
  bool OpenMsgChannel(void* userData, KapServerID server, const char* name,
                      const KAPService_MsgChannelNotifySink* sink);
  bool MsgChannelInfo(KapServerID server, KapMsgChannelID id, KAPService_MsgChannelInfo* info);
  bool CloseMsgChannel(KapMsgChannelID id);
  bool SendMsgToGroup(KapMsgChannelID id, KapMsgGroupID group, const void* msg, int len);
  bool SwitchToStreamData(const char* name, void* channel, int* fd);

  // Channel table; the channel is the calling thread's.
  bool BindThread(void* channel);
  bool UnbindThread();
  uint32_t JobDispatcher(void* channel);
  void Poll(int msTimeout);
  bool RegisterChannelSink(const KAPService_ChannelNotifySink* sink, void* userData,
                           uint32_t* sinkId);
  bool UnregisterChannelSink(uint32_t sinkId);
  bool Connect();
  bool Disconnect();
  KAPService_ConnectionState ConnectionState();
  KAPService_ChannelState ChannelState();
  KAPService_SessionType SessionType();

  // Channel-object table.
  bool CreateObject(const char* name, const KAPRPC_ObjectNotifySink* sink, void* userData,
                    uint32_t flags, void** object);
  bool DestroyObject(void* object);
  KAPRPC_ObjectState ObjectState(void* object);
  bool ObjectName(void* object, char* name, uint32_t* size);
  bool CreateContext(void* object, uint32_t options, void** context);
  bool DestroyContext(void* context);
  bool Invoke(void* object, void* context, const KAPRPC_RequestCallback* callback, void* userData);
  bool RequestSideChannel(void* object, int type, const char* token);
  bool ObjectOptions(void* object, uint32_t* options);
  KAPRPC_ObjectState ObjectStateByName(const char* name);

  // Context lookup for the context table; counts an unknown handle.
  std::shared_ptr<Context> FindContext(void* context);

  // Control API.
  KapSimClient* ConnectClient(uint32_t sessionId, uint32_t options, KAPService_SessionType type);
  bool DisconnectClient(KapSimClient* client);
  void DestroyClient(KapSimClient* client);
  bool IsClientConnected(KapSimClient* client);
  bool SetObjectState(KapSimClient* client, const char* name, KAPRPC_ObjectState state);
  KAPService_ChannelState ClientChannelState(KapSimClient* client);
  KAPRPC_ObjectState ClientObjectState(KapSimClient* client, const char* name);
  bool WaitChannelState(KapSimClient* client, KAPService_ChannelState state, uint32_t ms);
  bool WaitObjectState(KapSimClient* client, const char* name, KAPRPC_ObjectState state,
                       uint32_t ms);
  bool ObjectFlags(KapSimClient* client, const char* name, uint32_t* flags);
  bool SideChannelRequest(KapSimClient* client, const char* name, KAPRPC_SideChannelType* type,
                          char* token, int tokenSize);
  bool SendRequest(KapSimClient* client, const char* objectName, uint32_t command,
                   const KapSimParam* params, int count, uint32_t* requestId);
  KapSimRequestState WaitRequest(KapSimClient* client, uint32_t requestId, uint32_t ms);
  bool GetReply(KapSimClient* client, uint32_t requestId, uint32_t* returnCode, int* count);
  bool GetReplyValue(KapSimClient* client, uint32_t requestId, int index, const char** name,
                     const KAP_RPC_VARIANT** value);
  int MessageCount(KapSimClient* client);
  bool WaitMessageCount(KapSimClient* client, int count, uint32_t ms);
  bool GetMessage(KapSimClient* client, int index, KapSimMessage* out);
  bool GetMessageParam(KapSimClient* client, int index, int param, const char** name,
                       const KAP_RPC_VARIANT** value);
  bool FinishMessage(KapSimClient* client, int index, bool complete, uint32_t returnCode,
                     const KapSimParam* values, int count, Bool userCancelled, uint32_t reason);
  bool ReleaseMessages(KapSimClient* client, int count);
  bool ReleaseRequest(KapSimClient* client, uint32_t requestId);
  void Counters(KapSimCounters* out);
  bool IsServerRunning(uint32_t sessionId);
  KapServerID ClientServer(KapSimClient* client);
  bool PeerSend(KapSimClient* client, const char* channelName, int32_t pid, const char* token,
                const void* msg, int len);
  int StreamDataPeer(KapSimClient* client);

 private:
  struct Object;
  struct Channel;
  struct Client;
  struct Event;
  struct Message;
  struct Request;
  struct MsgChannel;
  struct Peer;

  SimState() = default;
  Handle NewHandle();
  std::shared_ptr<Channel> ChannelOfThread();
  std::shared_ptr<Object> FindObject(void* object);
  std::shared_ptr<Client> FindClient(KapSimClient* client);
  std::shared_ptr<Channel> FindChannel(Handle id);
  std::shared_ptr<Object> FindObjectByName(const Channel& ch, const char* name);
  // A connected object with its channel and the client at the far end; false when any is
  // missing. m_lock held.
  bool FindConnectedPeer(void* object, std::shared_ptr<Object>* obj, std::shared_ptr<Channel>* ch,
                         std::shared_ptr<Client>* cl);
  void Post(Channel& ch, Event&& e);
  void RunEvent(std::unique_lock<std::mutex>& lk, Channel& ch, Event& e);
  // The server sink's notifications about the server ch; the last one ends the server.
  void RunServerEvent(std::unique_lock<std::mutex>& lk, Channel& ch, Event& e);
  void AbortOutstanding(Channel& ch, Handle object, bool deliver);
  void DetachClient(Channel& ch);
  // The channel and then the connection going down, in the order a client sees a drop.
  void PostDropped(Channel& ch);
  // The client of the channel goes away: objects, channel and connection go down.
  void DropClient(Channel& ch);
  // A server of a multi-server session leaves: its disconnect and the end of its instance
  // are reported, after which it is gone. False when it is already leaving.
  bool LeaveServer(Channel& ch);
  // Ends a channel at once, with no notification: its client, objects, sinks, message
  // channels and bindings go with it.
  void EndChannel(const std::shared_ptr<Channel>& ch);
  std::shared_ptr<Channel> FindServer(KapServerID server);
  std::shared_ptr<MsgChannel> FindMsgChannel(KapMsgChannelID id);
  bool WaitFor(uint32_t ms, const std::function<bool()>& done, std::unique_lock<std::mutex>& lk);

  std::mutex m_lock;
  std::condition_variable m_changed;                        // any state a control-API wait looks at
  Handle m_nextHandle = 0x5A000000;                         // guarded by m_lock
  uint32_t m_nextSinkId = 1;                                // guarded by m_lock
  uint32_t m_nextContextId = 1;                             // guarded by m_lock
  std::map<uint32_t, std::shared_ptr<Channel>> m_sessions;  // guarded by m_lock
  std::map<Handle, std::shared_ptr<Channel>> m_channels;    // guarded by m_lock
  std::map<uint32_t, Handle> m_multiSessions;               // session -> hub; m_lock
  std::map<Handle, Handle> m_servers;                       // server id -> channel; m_lock
  std::map<Handle, Handle> m_serverSinks;                   // server sink id -> hub; m_lock
  std::map<Handle, std::shared_ptr<MsgChannel>> m_msgChannels;  // guarded by m_lock
  std::map<Handle, std::shared_ptr<Peer>> m_peers;              // guarded by m_lock
  std::map<Handle, std::shared_ptr<Object>> m_objects;          // guarded by m_lock
  std::map<Handle, std::shared_ptr<Context>> m_contexts;        // guarded by m_lock
  std::map<Handle, std::shared_ptr<Client>> m_clients;          // guarded by m_lock
  std::map<uint32_t, Handle> m_sinkOwners;                      // sink id -> channel; m_lock
  std::map<std::thread::id, Handle> m_bindings;                 // thread -> channel; m_lock
  uint64_t m_badHandles = 0;                                    // guarded by m_lock
  uint64_t m_unboundCalls = 0;                                  // guarded by m_lock
};

}  // namespace kapsim
