#include "SimState.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

namespace kapsim {

struct SimState::Object {
  Handle id = 0;
  Handle channel = 0;
  std::string name;
  KAPRPC_ObjectNotifySink sink{};
  void* userData = nullptr;
  uint32_t flags = 0;
  KAPRPC_ObjectState state = KAP_RPC_OBJ_PENDING;
  int sideChannelType = 0;  // last requested, 0 when none
  std::string sideChannelToken;
};

struct SimState::Event {
  enum Kind {
    CONN_STATE,
    CHAN_STATE,
    PEER_OBJECT,
    OBJ_STATE,
    INVOKE,
    DONE,
    ABORT,
    // Server sink of a multi-server session, about the target server.
    SERVER_CONNECTED,
    SERVER_DISCONNECTED,
    INSTANCE_CREATED,
    INSTANCE_DESTROYED,
    // Message channels: `object` is the message channel, `client` the peer that wrote.
    MSG_OPENED,
    MSG_RECEIVED
  };
  explicit Event(Kind k) : kind(k) {}
  Kind kind;
  Handle target = 0;  // the server a multi-server session's queue delivers this for
  std::string data;   // bytes a peer wrote to a message channel
  int state = 0;
  bool apply = true;
  Handle object = 0;
  Handle client = 0;
  uint32_t requestId = 0;
  uint32_t command = 0;
  std::string name;
  std::vector<StoredPtr> values;  // request parameters, or the return values of a completion
  uint32_t returnCode = 0;
  KAPRPC_RequestCallback callback{};
  void* userData = nullptr;
  Bool userCancelled = FALSE;
  uint32_t reason = 0;
};

struct SimState::Channel {
  Handle id = 0;
  uint32_t sessionId = 0;
  KAPService_ConnectionState conn = KAP_SERVICE_CONN_DISCONNECTED;
  KAPService_ChannelState chan = KAP_SERVICE_CHAN_DISCONNECTED;
  std::map<uint32_t, std::pair<KAPService_ChannelNotifySink, void*>> sinks;
  std::vector<Handle> objects;  // creation order
  std::deque<Event> events;
  std::condition_variable wake;  // events queued or channel closed
  bool dispatching = false;
  bool closed = false;
  Handle client = 0;  // attached client, 0 when none
  std::string token;
  int streamPeer = -1;  // the library's end of a stream-data channel, -1 when none
  // A server of a multi-server session: its notifications go to the hub's queue.
  Handle hub = 0;
  Handle server = 0;  // its KapServerID
  void* instanceUserData = nullptr;
  bool leaving = false;
  // The hub of a multi-server session: one queue for all its servers, and the server sink.
  bool isHub = false;
  Handle serverSinkId = 0;
  KAPService_ServerNotifySink serverSink{};
  void* serverUserData = nullptr;
  std::vector<Handle> members;
};

struct SimState::MsgChannel {
  Handle id = 0;
  Handle channel = 0;  // the server's channel
  Handle group = 0;
  std::string name;
  KAPService_MsgChannelNotifySink sink{};
  void* userData = nullptr;
  bool open = false;
};

// A process writing to a message channel, as the library names it to the receiver.
struct SimState::Peer {
  Handle id = 0;
  Handle msgChannel = 0;
  int32_t pid = 0;
  std::string token;
};

struct SimState::Message {
  std::string objectName;
  Handle object = 0;
  Handle channel = 0;
  uint32_t requestId = 0;
  uint32_t command = 0;
  uint32_t options = 0;
  std::string namedCommand;
  std::vector<StoredPtr> params;
  std::vector<KAP_RPC_VARIANT> views;
  bool post = false;
  bool completion = false;
  bool finished = false;
  KAPRPC_RequestCallback callback{};
  void* userData = nullptr;
};

struct SimState::Request {
  KapSimRequestState state = KAPSIM_REQUEST_PENDING;
  uint32_t returnCode = 0;
  std::vector<StoredPtr> values;
  std::vector<KAP_RPC_VARIANT> views;
};

struct SimState::Client {
  Handle id = 0;
  uint32_t sessionId = 0;
  uint32_t options = 0;
  KAPService_SessionType type = KAP_SERVICE_TALON_SESSION;
  Handle channel = 0;  // kept after detaching, for the state queries
  bool connected = false;
  std::map<uint32_t, Request> requests;  // until the caller releases them
  // Messages by index (stable addresses: pointers are lent out): those not released, and
  // released ones that still await their completion.
  std::map<int, std::unique_ptr<Message>> inbox;
  int received = 0;  // messages ever received, so the next index
  int released = 0;  // indices below this were released by the caller

  // A message the caller may read (not released), or null.
  Message* Readable(int index) {
    auto it = index >= released ? inbox.find(index) : inbox.end();
    return it == inbox.end() ? nullptr : it->second.get();
  }
  // Drops a released message once nothing more can happen to it.
  void ForgetIfDone(std::map<int, std::unique_ptr<Message>>::iterator it) {
    if (it->first < released && (it->second->finished || !it->second->completion)) {
      inbox.erase(it);
    }
  }
};

namespace {

void* ToPtr(Handle h) { return reinterpret_cast<void*>(h); }
Handle ToHandle(const void* p) { return reinterpret_cast<Handle>(p); }

std::vector<KAP_RPC_VARIANT> Views(const std::vector<StoredPtr>& values) {
  std::vector<KAP_RPC_VARIANT> out;
  out.reserve(values.size());
  for (const StoredPtr& v : values) out.push_back(VariantStore::View(*v));
  return out;
}

bool StoreAll(const KapSimParam* params, int count, std::vector<StoredPtr>& out) {
  if (count < 0 || (count > 0 && params == nullptr)) return false;
  for (int i = 0; i < count; ++i) {
    StoredPtr v = VariantStore::Store(&params[i].value, params[i].name);
    if (!v) return false;
    out.push_back(std::move(v));
  }
  return true;
}

bool IsObjectConnected(KAPRPC_ObjectState s) {
  return s == KAP_RPC_OBJ_CONNECTED || s == KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED;
}

}  // namespace

SimState& SimState::Get() {
  static SimState s_state;
  return s_state;
}

Handle SimState::NewHandle() {
  m_nextHandle += 0x10;
  return m_nextHandle;
}

std::shared_ptr<SimState::Channel> SimState::ChannelOfThread() {
  auto b = m_bindings.find(std::this_thread::get_id());
  if (b != m_bindings.end()) {
    auto c = m_channels.find(b->second);
    if (c != m_channels.end()) return c->second;
  }
  // A thread that never initialised a server may still end one (the host's control thread):
  // when only one channel exists there is no doubt which it means.
  if (m_channels.size() == 1) return m_channels.begin()->second;
  ++m_unboundCalls;
  return nullptr;
}

std::shared_ptr<SimState::Channel> SimState::FindChannel(Handle id) {
  auto it = m_channels.find(id);
  return it == m_channels.end() ? nullptr : it->second;
}

std::shared_ptr<SimState::Object> SimState::FindObject(void* object) {
  auto it = m_objects.find(ToHandle(object));
  if (it == m_objects.end()) {
    ++m_badHandles;
    return nullptr;
  }
  return it->second;
}

std::shared_ptr<SimState::Client> SimState::FindClient(KapSimClient* client) {
  auto it = m_clients.find(ToHandle(client));
  return it == m_clients.end() ? nullptr : it->second;
}

std::shared_ptr<SimState::Object> SimState::FindObjectByName(const Channel& ch, const char* name) {
  if (name == nullptr) return nullptr;
  for (Handle h : ch.objects) {
    auto it = m_objects.find(h);
    if (it != m_objects.end() && it->second->name == name) return it->second;
  }
  return nullptr;
}

std::shared_ptr<Context> SimState::FindContext(void* context) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_contexts.find(ToHandle(context));
  if (it == m_contexts.end()) {
    ++m_badHandles;
    return nullptr;
  }
  return it->second;
}

void SimState::Post(Channel& ch, Event&& e) {
  // A server of a multi-server session is served by its hub's queue.
  if (ch.hub != 0) {
    std::shared_ptr<Channel> hub = FindChannel(ch.hub);
    if (!hub) return;
    e.target = ch.id;
    hub->events.push_back(std::move(e));
    hub->wake.notify_all();
    return;
  }
  ch.events.push_back(std::move(e));
  ch.wake.notify_all();
}

std::shared_ptr<SimState::Channel> SimState::FindServer(KapServerID server) {
  auto it = m_servers.find(ToHandle(server));
  std::shared_ptr<Channel> ch = it == m_servers.end() ? nullptr : FindChannel(it->second);
  if (!ch) ++m_badHandles;
  return ch;
}

std::shared_ptr<SimState::MsgChannel> SimState::FindMsgChannel(KapMsgChannelID id) {
  auto it = m_msgChannels.find(ToHandle(id));
  if (it == m_msgChannels.end()) {
    ++m_badHandles;
    return nullptr;
  }
  return it->second;
}

// ---- Servers ---------------------------------------------------------------------------

bool SimState::StartServer(uint32_t sessionId, const char* token, void** channel) {
  if (token == nullptr || channel == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_sessions.count(sessionId) != 0 || m_multiSessions.count(sessionId) != 0) return false;
  auto ch = std::make_shared<Channel>();
  ch->id = NewHandle();
  ch->sessionId = sessionId;
  ch->token = token;
  m_sessions[sessionId] = ch;
  m_channels[ch->id] = ch;
  m_bindings[std::this_thread::get_id()] = ch->id;
  *channel = ToPtr(ch->id);
  return true;
}

bool SimState::EndServer(uint32_t sessionId) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_sessions.find(sessionId);
  if (it == m_sessions.end()) return false;
  EndChannel(it->second);
  return true;
}

void SimState::EndChannel(const std::shared_ptr<Channel>& channel) {
  std::shared_ptr<Channel> keep = channel;  // the caller's reference may live in a map erased here
  Channel& ch = *keep;
  AbortOutstanding(ch, 0, false);
  auto cl = m_clients.find(ch.client);
  if (cl != m_clients.end()) {
    for (auto& rq : cl->second->requests) {
      if (rq.second.state == KAPSIM_REQUEST_PENDING) rq.second.state = KAPSIM_REQUEST_DROPPED;
    }
  }
  DetachClient(ch);
  ch.closed = true;
  ch.events.clear();
  ch.wake.notify_all();
  for (Handle h : ch.objects) m_objects.erase(h);
  ch.objects.clear();
  for (auto& sink : ch.sinks) m_sinkOwners.erase(sink.first);
  ch.sinks.clear();
  for (auto mc = m_msgChannels.begin(); mc != m_msgChannels.end();) {
    mc = mc->second->channel == ch.id ? m_msgChannels.erase(mc) : std::next(mc);
  }
  for (auto p = m_peers.begin(); p != m_peers.end();) {
    p = m_msgChannels.count(p->second->msgChannel) == 0 ? m_peers.erase(p) : std::next(p);
  }
  if (ch.streamPeer >= 0) {
    close(ch.streamPeer);
    ch.streamPeer = -1;
  }
  for (auto b = m_bindings.begin(); b != m_bindings.end();) {
    b = b->second == ch.id ? m_bindings.erase(b) : std::next(b);
  }
  m_channels.erase(ch.id);
  if (ch.server != 0) m_servers.erase(ch.server);
  if (ch.hub != 0) {
    std::shared_ptr<Channel> hub = FindChannel(ch.hub);
    if (hub)
      hub->members.erase(std::remove(hub->members.begin(), hub->members.end(), ch.id),
                         hub->members.end());
  } else if (ch.isHub) {
    m_multiSessions.erase(ch.sessionId);
    if (ch.serverSinkId != 0) m_serverSinks.erase(ch.serverSinkId);
  } else {
    m_sessions.erase(ch.sessionId);
  }
  m_changed.notify_all();
}

bool SimState::StartMultiServer(uint32_t sessionId, const char* token, KapMultiServerID* id) {
  if (token == nullptr || id == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_sessions.count(sessionId) != 0 || m_multiSessions.count(sessionId) != 0) return false;
  auto hub = std::make_shared<Channel>();
  hub->id = NewHandle();
  hub->sessionId = sessionId;
  hub->token = token;
  hub->isHub = true;
  m_channels[hub->id] = hub;
  m_multiSessions[sessionId] = hub->id;
  m_bindings[std::this_thread::get_id()] = hub->id;
  *id = ToPtr(hub->id);
  return true;
}

bool SimState::EndMultiServer(KapMultiServerID id) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> hub = FindChannel(ToHandle(id));
  if (!hub || !hub->isHub) {
    ++m_badHandles;
    return false;
  }
  for (Handle member : std::vector<Handle>(hub->members)) {
    std::shared_ptr<Channel> ch = FindChannel(member);
    if (ch) EndChannel(ch);
  }
  EndChannel(hub);
  return true;
}

bool SimState::IsServerRunning(uint32_t sessionId) {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_sessions.count(sessionId) != 0;
}

// ---- Channel table ---------------------------------------------------------------------

bool SimState::BindThread(void* channel) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_channels.count(ToHandle(channel)) == 0) {
    ++m_badHandles;
    return false;
  }
  m_bindings[std::this_thread::get_id()] = ToHandle(channel);
  return true;
}

bool SimState::UnbindThread() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_bindings.erase(std::this_thread::get_id()) != 0;
}

uint32_t SimState::JobDispatcher(void* channel) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_channels.count(ToHandle(channel)) == 0) {
    ++m_badHandles;
    return 0;
  }
  return static_cast<uint32_t>(ToHandle(channel) >> 4);
}

void SimState::Poll(int msTimeout) {
  std::unique_lock<std::mutex> lk(m_lock);
  std::shared_ptr<Channel> ch = ChannelOfThread();
  if (ch && ch->hub != 0) ch = FindChannel(ch->hub);  // a server's callback polls its hub
  if (!ch) {
    lk.unlock();
    // Keep a caller's poll loop from spinning even when it has no channel.
    if (msTimeout > 0) std::this_thread::sleep_for(std::chrono::milliseconds(msTimeout));
    return;
  }
  if (msTimeout > 0 && ch->events.empty() && !ch->closed && !ch->dispatching) {
    ch->wake.wait_for(lk, std::chrono::milliseconds(msTimeout),
                      [&] { return !ch->events.empty() || ch->closed; });
  }
  // A poll from inside a callback, or a second polling thread, dispatches nothing: the
  // callbacks of one channel never overlap.
  if (ch->dispatching || ch->closed) return;
  ch->dispatching = true;
  const std::thread::id self = std::this_thread::get_id();
  while (!ch->closed && !ch->events.empty()) {
    Event e = std::move(ch->events.front());
    ch->events.pop_front();
    if (e.target == 0) {
      RunEvent(lk, *ch, e);
      continue;
    }
    std::shared_ptr<Channel> server = FindChannel(e.target);
    if (!server) continue;  // the server ended meanwhile
    // A server's callbacks use the channel table as the server's own thread would.
    m_bindings[self] = server->id;
    RunEvent(lk, *server, e);
    if (ch->closed) {
      m_bindings.erase(self);
    } else {
      m_bindings[self] = ch->id;
    }
  }
  ch->dispatching = false;
}

void SimState::RunEvent(std::unique_lock<std::mutex>& lk, Channel& ch, Event& e) {
  switch (e.kind) {
    case Event::CONN_STATE:
    case Event::CHAN_STATE:
    case Event::PEER_OBJECT: {
      if (e.kind == Event::CONN_STATE && e.apply)
        ch.conn = static_cast<KAPService_ConnectionState>(e.state);
      if (e.kind == Event::CHAN_STATE) ch.chan = static_cast<KAPService_ChannelState>(e.state);
      m_changed.notify_all();
      std::vector<uint32_t> ids;
      for (auto& s : ch.sinks) ids.push_back(s.first);
      for (uint32_t id : ids) {
        auto it = ch.sinks.find(id);  // a sink may have gone during an earlier callback
        if (it == ch.sinks.end() || ch.closed) continue;
        KAPService_ChannelNotifySink sink = it->second.first;
        void* ud = it->second.second;
        lk.unlock();
        if (e.kind == Event::CONN_STATE && sink.v1.OnConnectionStateChanged) {
          auto s = static_cast<KAPService_ConnectionState>(e.state);
          sink.v1.OnConnectionStateChanged(ud, s, s, nullptr);
        } else if (e.kind == Event::CHAN_STATE && sink.v1.OnChannelStateChanged) {
          auto s = static_cast<KAPService_ChannelState>(e.state);
          sink.v1.OnChannelStateChanged(ud, s, s, nullptr);
        } else if (e.kind == Event::PEER_OBJECT && sink.v1.OnPeerObjectCreated) {
          sink.v1.OnPeerObjectCreated(ud, e.name.c_str(), nullptr);
        }
        lk.lock();
      }
      break;
    }
    case Event::OBJ_STATE: {
      auto it = m_objects.find(e.object);
      if (it == m_objects.end()) break;  // destroyed meanwhile
      std::shared_ptr<Object> obj = it->second;
      obj->state = static_cast<KAPRPC_ObjectState>(e.state);
      m_changed.notify_all();
      if (obj->sink.v1.OnObjectStateChanged == nullptr) break;
      auto fn = obj->sink.v1.OnObjectStateChanged;
      void* ud = obj->userData;
      lk.unlock();
      fn(ud, nullptr);
      lk.lock();
      break;
    }
    case Event::INVOKE: {
      auto it = m_objects.find(e.object);
      std::shared_ptr<Object> obj = it == m_objects.end() ? nullptr : it->second;
      KapSimRequestState outcome = KAPSIM_REQUEST_DROPPED;
      uint32_t returnCode = 0;
      std::vector<StoredPtr> returnValues;
      if (obj && obj->sink.v1.OnInvoke != nullptr) {
        auto ctx = std::make_shared<Context>(e.requestId, obj->id, true, 0);
        ctx->command = e.command;
        ctx->params = e.values;
        Handle h = NewHandle();
        m_contexts[h] = ctx;
        auto fn = obj->sink.v1.OnInvoke;
        void* ud = obj->userData;
        lk.unlock();
        fn(ud, ToPtr(h), nullptr);
        lk.lock();
        m_contexts.erase(h);
        std::lock_guard<std::mutex> ctxGuard(ctx->lock);
        returnCode = ctx->returnCode;
        returnValues = ctx->returnValues;
        outcome = KAPSIM_REQUEST_ANSWERED;
      }
      auto cl = m_clients.find(e.client);
      if (cl != m_clients.end()) {
        auto rq = cl->second->requests.find(e.requestId);
        if (rq != cl->second->requests.end()) {
          rq->second.state = outcome;
          rq->second.returnCode = returnCode;
          rq->second.views = Views(returnValues);
          rq->second.values = std::move(returnValues);
        }
      }
      m_changed.notify_all();
      break;
    }
    case Event::DONE: {
      if (e.callback.v1.OnDone == nullptr) break;
      auto ctx = std::make_shared<Context>(e.requestId, 0, true, 0);
      ctx->returnCode = e.returnCode;
      ctx->returnValues = e.values;
      Handle h = NewHandle();
      m_contexts[h] = ctx;
      lk.unlock();
      e.callback.v1.OnDone(e.userData, e.requestId, ToPtr(h));
      lk.lock();
      m_contexts.erase(h);
      break;
    }
    case Event::ABORT: {
      if (e.callback.v1.OnAbort == nullptr) break;
      lk.unlock();
      e.callback.v1.OnAbort(e.userData, e.requestId, e.userCancelled, e.reason);
      lk.lock();
      break;
    }
    case Event::SERVER_CONNECTED:
    case Event::SERVER_DISCONNECTED:
    case Event::INSTANCE_CREATED:
    case Event::INSTANCE_DESTROYED:
      RunServerEvent(lk, ch, e);
      break;
    case Event::MSG_OPENED:
    case Event::MSG_RECEIVED: {
      auto it = m_msgChannels.find(e.object);
      if (it == m_msgChannels.end()) break;  // closed meanwhile
      std::shared_ptr<MsgChannel> mc = it->second;
      if (e.kind == Event::MSG_OPENED) mc->open = true;
      m_changed.notify_all();
      const KAPService_MsgChannelNotifySink sink = mc->sink;
      lk.unlock();
      if (e.kind == Event::MSG_OPENED && sink.v1.OnMsgChannelOpened != nullptr) {
        sink.v1.OnMsgChannelOpened(mc->userData, ToPtr(mc->id));
      } else if (e.kind == Event::MSG_RECEIVED && sink.v1.OnMsgReceived != nullptr) {
        sink.v1.OnMsgReceived(mc->userData, ToPtr(mc->group), ToPtr(e.client), &e.data[0],
                              static_cast<int>(e.data.size()));
      }
      lk.lock();
      break;
    }
  }
}

void SimState::RunServerEvent(std::unique_lock<std::mutex>& lk, Channel& ch, Event& e) {
  std::shared_ptr<Channel> hub = FindChannel(ch.hub);
  if (!hub) return;
  const KAPService_ServerNotifySink sink = hub->serverSink;  // zero when none is registered
  void* ud = hub->serverUserData;
  void* server = ToPtr(ch.server);
  void* instance = ch.instanceUserData;
  lk.unlock();
  switch (e.kind) {
    case Event::SERVER_CONNECTED:
      if (sink.v1.OnServerConnected != nullptr) {
        sink.v1.OnServerConnected(ud, static_cast<KAPService_SessionType>(e.state), server);
      }
      break;
    case Event::SERVER_DISCONNECTED:
      if (sink.v1.OnServerDisconnected != nullptr) sink.v1.OnServerDisconnected(ud, server);
      break;
    case Event::INSTANCE_CREATED:
      if (sink.v1.OnServerInstanceCreated != nullptr) {
        sink.v1.OnServerInstanceCreated(ud, server, &instance);
      }
      break;
    default:
      if (sink.v1.OnServerInstanceDestroyed != nullptr) {
        sink.v1.OnServerInstanceDestroyed(ud, instance, server);
      }
      break;
  }
  lk.lock();
  if (e.kind == Event::INSTANCE_CREATED) ch.instanceUserData = instance;
  // The instance is gone, and the server with it.
  if (e.kind == Event::INSTANCE_DESTROYED && !ch.closed) {
    std::shared_ptr<Channel> self = FindChannel(ch.id);
    if (self) EndChannel(self);
  }
}

void SimState::AbortOutstanding(Channel& ch, Handle object, bool deliver) {
  auto cl = m_clients.find(ch.client);
  if (cl == m_clients.end()) return;
  Client& client = *cl->second;
  for (auto it = client.inbox.begin(); it != client.inbox.end();) {
    auto current = it++;
    Message& m = *current->second;
    if (m.channel != ch.id || m.finished || !m.completion) continue;
    if (object != 0 && m.object != object) continue;
    m.finished = true;
    if (deliver) {
      Event e{Event::ABORT};
      e.callback = m.callback;
      e.userData = m.userData;
      e.requestId = m.requestId;
      e.reason = KAPSIM_ABORT_REASON_DISCONNECTED;
      Post(ch, std::move(e));
    }
    client.ForgetIfDone(current);
  }
  m_changed.notify_all();
}

void SimState::DetachClient(Channel& ch) {
  auto cl = m_clients.find(ch.client);
  if (cl != m_clients.end()) cl->second->connected = false;
  ch.client = 0;
  ch.conn = KAP_SERVICE_CONN_DISCONNECTED;
  m_changed.notify_all();
}

bool SimState::RegisterChannelSink(const KAPService_ChannelNotifySink* sink, void* userData,
                                   uint32_t* sinkId) {
  if (sink == nullptr || sinkId == nullptr || sink->version < 1) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = ChannelOfThread();
  if (!ch) return false;
  uint32_t id = m_nextSinkId++;
  if (id == 0xFFFFFFFFu || id == 0) id = m_nextSinkId++;  // the framework's "none"
  ch->sinks[id] = {*sink, userData};
  m_sinkOwners[id] = ch->id;
  *sinkId = id;
  return true;
}

bool SimState::UnregisterChannelSink(uint32_t sinkId) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto owner = m_sinkOwners.find(sinkId);
  if (owner == m_sinkOwners.end()) {
    ++m_badHandles;
    return false;
  }
  std::shared_ptr<Channel> ch = FindChannel(owner->second);
  if (ch) ch->sinks.erase(sinkId);
  m_sinkOwners.erase(owner);
  return true;
}

bool SimState::Connect() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = ChannelOfThread();
  if (!ch || ch->conn != KAP_SERVICE_CONN_CONNECTED || ch->client == 0) return false;
  if (ch->chan == KAP_SERVICE_CHAN_CONNECTED || ch->chan == KAP_SERVICE_CHAN_PENDING) return true;
  ch->chan = KAP_SERVICE_CHAN_PENDING;
  auto cl = m_clients.find(ch->client);
  if (cl != m_clients.end() && (cl->second->options & KAPSIM_CLIENT_REJECT) != 0) {
    DetachClient(*ch);
    ch->conn = KAP_SERVICE_CONN_CONNECTED;  // the drop is seen with the notifications below
    PostDropped(*ch);
    return true;
  }
  Event e{Event::CHAN_STATE};
  e.state = KAP_SERVICE_CHAN_CONNECTED;
  Post(*ch, std::move(e));
  return true;
}

void SimState::PostDropped(Channel& ch) {
  Event chan{Event::CHAN_STATE};
  chan.state = KAP_SERVICE_CHAN_DISCONNECTED;
  Post(ch, std::move(chan));
  Event conn{Event::CONN_STATE};
  conn.state = KAP_SERVICE_CONN_DISCONNECTED;
  Post(ch, std::move(conn));
}

bool SimState::Disconnect() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = ChannelOfThread();
  if (!ch) return false;
  AbortOutstanding(*ch, 0, true);
  for (Handle h : ch->objects) {
    auto it = m_objects.find(h);
    if (it != m_objects.end()) it->second->state = KAP_RPC_OBJ_DISCONNECTED;
  }
  const bool wasUp = ch->client != 0 || ch->chan != KAP_SERVICE_CHAN_DISCONNECTED;
  DetachClient(*ch);
  ch->chan = KAP_SERVICE_CHAN_DISCONNECTED;
  if (wasUp) {
    PostDropped(*ch);
  }
  return true;
}

KAPService_ConnectionState SimState::ConnectionState() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = ChannelOfThread();
  return ch ? ch->conn : KAP_SERVICE_CONN_UNINITIALIZED;
}

KAPService_ChannelState SimState::ChannelState() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = ChannelOfThread();
  return ch ? ch->chan : KAP_SERVICE_CHAN_UNINITIALIZED;
}

KAPService_SessionType SimState::SessionType() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = ChannelOfThread();
  if (!ch) return KAP_SERVICE_NONE_SESSION;
  auto cl = m_clients.find(ch->client);
  return cl == m_clients.end() ? KAP_SERVICE_NONE_SESSION : cl->second->type;
}

// ---- Channel objects -------------------------------------------------------------------

bool SimState::CreateObject(const char* name, const KAPRPC_ObjectNotifySink* sink, void* userData,
                            uint32_t flags, void** object) {
  if (name == nullptr || name[0] == '\0' || std::strlen(name) > 255 || sink == nullptr ||
      sink->version < 1 || object == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = ChannelOfThread();
  if (!ch || ch->chan != KAP_SERVICE_CHAN_CONNECTED || FindObjectByName(*ch, name)) return false;
  auto obj = std::make_shared<Object>();
  obj->id = NewHandle();
  obj->channel = ch->id;
  obj->name = name;
  obj->sink = *sink;
  obj->userData = userData;
  obj->flags = flags;
  m_objects[obj->id] = obj;
  ch->objects.push_back(obj->id);
  auto cl = m_clients.find(ch->client);
  if (cl != m_clients.end()) {
    Event peer{Event::PEER_OBJECT};
    peer.name = name;
    Post(*ch, std::move(peer));
    if ((cl->second->options & KAPSIM_CLIENT_MANUAL_OBJECTS) == 0) {
      Event e{Event::OBJ_STATE};
      e.object = obj->id;
      e.state = KAP_RPC_OBJ_CONNECTED;
      Post(*ch, std::move(e));
    }
  }
  *object = ToPtr(obj->id);
  m_changed.notify_all();
  return true;
}

bool SimState::DestroyObject(void* object) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Object> obj = FindObject(object);
  if (!obj) return false;
  std::shared_ptr<Channel> ch = FindChannel(obj->channel);
  if (ch) {
    AbortOutstanding(*ch, obj->id, true);
    ch->objects.erase(std::remove(ch->objects.begin(), ch->objects.end(), obj->id),
                      ch->objects.end());
  }
  m_objects.erase(obj->id);
  m_changed.notify_all();
  return true;
}

KAPRPC_ObjectState SimState::ObjectState(void* object) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Object> obj = FindObject(object);
  return obj ? obj->state : KAP_RPC_OBJ_UNINITIALIZED;
}

bool SimState::ObjectName(void* object, char* name, uint32_t* size) {
  if (size == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Object> obj = FindObject(object);
  if (!obj) return false;
  const uint32_t need = static_cast<uint32_t>(obj->name.size() + 1);
  const uint32_t have = *size;
  *size = need;
  if (name == nullptr || have < need) return false;
  std::memcpy(name, obj->name.c_str(), need);
  return true;
}

bool SimState::CreateContext(void* object, uint32_t options, void** context) {
  if (context == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Object> obj = FindObject(object);
  if (!obj) return false;
  uint32_t id = m_nextContextId++;
  if (id == 0) id = m_nextContextId++;
  Handle h = NewHandle();
  m_contexts[h] = std::make_shared<Context>(id, obj->id, false, options);
  *context = ToPtr(h);
  return true;
}

bool SimState::DestroyContext(void* context) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_contexts.find(ToHandle(context));
  if (it == m_contexts.end() || it->second->libraryOwned) {
    ++m_badHandles;
    return false;
  }
  m_contexts.erase(it);
  return true;
}

bool SimState::FindConnectedPeer(void* object, std::shared_ptr<Object>* obj,
                                 std::shared_ptr<Channel>* ch, std::shared_ptr<Client>* cl) {
  *obj = FindObject(object);
  if (!*obj || !IsObjectConnected((*obj)->state)) return false;
  *ch = FindChannel((*obj)->channel);
  if (!*ch) return false;
  auto it = m_clients.find((*ch)->client);
  if (it == m_clients.end()) return false;
  *cl = it->second;
  return true;
}

bool SimState::Invoke(void* object, void* context, const KAPRPC_RequestCallback* callback,
                      void* userData) {
  std::shared_ptr<Context> ctx = FindContext(context);
  if (!ctx || ctx->libraryOwned) return false;
  auto msg = std::make_unique<Message>();
  {
    // Snapshot outside m_lock: a large message is copied by reference, not by bytes.
    std::lock_guard<std::mutex> ctxGuard(ctx->lock);
    msg->requestId = ctx->id;
    msg->command = ctx->command;
    msg->namedCommand = ctx->namedCommand;
    msg->params = ctx->params;
    msg->post = ctx->post;
    msg->options = ctx->options;
  }
  if (callback != nullptr) {
    msg->callback = *callback;
    msg->completion = callback->v1.OnDone != nullptr || callback->v1.OnAbort != nullptr;
  }
  msg->userData = userData;
  msg->views = Views(msg->params);
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Object> obj;
  std::shared_ptr<Channel> ch;
  std::shared_ptr<Client> cl;
  if (!FindConnectedPeer(object, &obj, &ch, &cl)) return false;
  msg->objectName = obj->name;
  msg->object = obj->id;
  msg->channel = ch->id;
  cl->inbox.emplace_hint(cl->inbox.end(), cl->received++, std::move(msg));
  m_changed.notify_all();
  return true;
}

bool SimState::RequestSideChannel(void* object, int type, const char* token) {
  if (type < KAP_RPC_SIDE_CHANNEL_TYPE_TALON || type > KAP_RPC_SIDE_CHANNEL_TYPE_RIVET ||
      token == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Object> obj;
  std::shared_ptr<Channel> ch;
  std::shared_ptr<Client> cl;
  if (!FindConnectedPeer(object, &obj, &ch, &cl)) return false;
  obj->sideChannelType = type;
  obj->sideChannelToken = token;
  const uint32_t opts = cl->options;
  const bool accept =
      (opts & KAPSIM_CLIENT_SIDE_CHANNELS) != 0 && (opts & KAPSIM_CLIENT_REFUSE_SIDE_CHANNEL) == 0;
  Event pending{Event::OBJ_STATE};
  pending.object = obj->id;
  pending.state = KAP_RPC_OBJ_SIDE_CHANNEL_PENDING;
  Post(*ch, std::move(pending));
  Event outcome{Event::OBJ_STATE};
  outcome.object = obj->id;
  outcome.state = accept ? KAP_RPC_OBJ_SIDE_CHANNEL_CONNECTED : KAP_RPC_OBJ_CONNECTED;
  Post(*ch, std::move(outcome));
  return true;
}

bool SimState::ObjectOptions(void* object, uint32_t* options) {
  if (options == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Object> obj = FindObject(object);
  if (!obj) return false;
  std::shared_ptr<Channel> ch = FindChannel(obj->channel);
  auto cl = ch ? m_clients.find(ch->client) : m_clients.end();
  const bool sideChannels =
      cl != m_clients.end() && (cl->second->options & KAPSIM_CLIENT_SIDE_CHANNELS) != 0;
  const uint32_t noSide =
      KAP_RPC_OBJ_CONFIG_NO_TCPSIDECHANNEL | KAP_RPC_OBJ_CONFIG_NO_VCHANSIDECHANNEL;
  *options = sideChannels ? (obj->flags & ~noSide) : (obj->flags | noSide);
  return true;
}

KAPRPC_ObjectState SimState::ObjectStateByName(const char* name) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = ChannelOfThread();
  std::shared_ptr<Object> obj = ch ? FindObjectByName(*ch, name) : nullptr;
  return obj ? obj->state : KAP_RPC_OBJ_UNINITIALIZED;
}

// ---- Control API -----------------------------------------------------------------------

KapSimClient* SimState::ConnectClient(uint32_t sessionId, uint32_t options,
                                      KAPService_SessionType type) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> chp;
  auto s = m_sessions.find(sessionId);
  if (s != m_sessions.end()) {
    if (s->second->client != 0) return nullptr;
    chp = s->second;
  } else {
    // A multi-server session gets a new server for every client, once someone listens.
    auto m = m_multiSessions.find(sessionId);
    std::shared_ptr<Channel> hub = m == m_multiSessions.end() ? nullptr : FindChannel(m->second);
    if (!hub || hub->serverSinkId == 0) return nullptr;
    chp = std::make_shared<Channel>();
    chp->id = NewHandle();
    chp->sessionId = sessionId;
    chp->token = hub->token;
    chp->hub = hub->id;
    chp->server = NewHandle();
    m_channels[chp->id] = chp;
    m_servers[chp->server] = chp->id;
    hub->members.push_back(chp->id);
  }
  Channel& ch = *chp;
  auto cl = std::make_shared<Client>();
  cl->id = NewHandle();
  cl->sessionId = sessionId;
  cl->options = options;
  cl->type = type;
  cl->channel = ch.id;
  cl->connected = true;
  m_clients[cl->id] = cl;
  ch.client = cl->id;
  ch.conn = KAP_SERVICE_CONN_CONNECTED;
  if (ch.hub == 0) {
    Event e{Event::CONN_STATE};
    e.state = KAP_SERVICE_CONN_CONNECTED;
    Post(ch, std::move(e));
  } else {
    // The new server's instance finds its connection up when it registers its channel sink.
    Event connected{Event::SERVER_CONNECTED};
    connected.state = type;
    Post(ch, std::move(connected));
    Post(ch, Event{Event::INSTANCE_CREATED});
  }
  m_changed.notify_all();
  return reinterpret_cast<KapSimClient*>(cl->id);
}

bool SimState::DisconnectClient(KapSimClient* client) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  if (!cl || !cl->connected) return false;
  std::shared_ptr<Channel> ch = FindChannel(cl->channel);
  if (!ch) {
    cl->connected = false;
    return true;
  }
  DropClient(*ch);
  if (ch->hub != 0) LeaveServer(*ch);
  return true;
}

void SimState::DropClient(Channel& ch) {
  AbortOutstanding(ch, 0, true);
  // The peer's objects go first, the data object (made last) before the control object.
  for (auto h = ch.objects.rbegin(); h != ch.objects.rend(); ++h) {
    Event e{Event::OBJ_STATE};
    e.object = *h;
    e.state = KAP_RPC_OBJ_DISCONNECTED;
    Post(ch, std::move(e));
  }
  if (ch.chan != KAP_SERVICE_CHAN_DISCONNECTED) {
    Event chan{Event::CHAN_STATE};
    chan.state = KAP_SERVICE_CHAN_DISCONNECTED;
    Post(ch, std::move(chan));
  }
  DetachClient(ch);
  Event conn{Event::CONN_STATE};
  conn.state = KAP_SERVICE_CONN_DISCONNECTED;
  conn.apply = false;
  Post(ch, std::move(conn));
}

bool SimState::LeaveServer(Channel& ch) {
  if (ch.leaving) return false;
  ch.leaving = true;
  Post(ch, Event{Event::SERVER_DISCONNECTED});
  Post(ch, Event{Event::INSTANCE_DESTROYED});
  return true;
}

void SimState::DestroyClient(KapSimClient* client) {
  DisconnectClient(client);
  std::lock_guard<std::mutex> guard(m_lock);
  m_clients.erase(ToHandle(client));
}

bool SimState::IsClientConnected(KapSimClient* client) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  return cl && cl->connected;
}

bool SimState::SetObjectState(KapSimClient* client, const char* name, KAPRPC_ObjectState state) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  if (!cl || !cl->connected) return false;
  std::shared_ptr<Channel> ch = FindChannel(cl->channel);
  std::shared_ptr<Object> obj = ch ? FindObjectByName(*ch, name) : nullptr;
  if (!obj) return false;
  if (state == KAP_RPC_OBJ_DISCONNECTED) AbortOutstanding(*ch, obj->id, true);
  Event e{Event::OBJ_STATE};
  e.object = obj->id;
  e.state = state;
  Post(*ch, std::move(e));
  return true;
}

KAPService_ChannelState SimState::ClientChannelState(KapSimClient* client) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  std::shared_ptr<Channel> ch = cl ? FindChannel(cl->channel) : nullptr;
  return ch ? ch->chan : KAP_SERVICE_CHAN_UNINITIALIZED;
}

KAPRPC_ObjectState SimState::ClientObjectState(KapSimClient* client, const char* name) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  std::shared_ptr<Channel> ch = cl ? FindChannel(cl->channel) : nullptr;
  std::shared_ptr<Object> obj = ch ? FindObjectByName(*ch, name) : nullptr;
  return obj ? obj->state : KAP_RPC_OBJ_UNINITIALIZED;
}

bool SimState::WaitFor(uint32_t ms, const std::function<bool()>& done,
                       std::unique_lock<std::mutex>& lk) {
  return m_changed.wait_for(lk, std::chrono::milliseconds(ms), done);
}

bool SimState::WaitChannelState(KapSimClient* client, KAPService_ChannelState state, uint32_t ms) {
  std::unique_lock<std::mutex> lk(m_lock);
  return WaitFor(
      ms,
      [&] {
        std::shared_ptr<Client> cl = FindClient(client);
        std::shared_ptr<Channel> ch = cl ? FindChannel(cl->channel) : nullptr;
        return ch && ch->chan == state;
      },
      lk);
}

bool SimState::WaitObjectState(KapSimClient* client, const char* name, KAPRPC_ObjectState state,
                               uint32_t ms) {
  std::unique_lock<std::mutex> lk(m_lock);
  return WaitFor(
      ms,
      [&] {
        std::shared_ptr<Client> cl = FindClient(client);
        std::shared_ptr<Channel> ch = cl ? FindChannel(cl->channel) : nullptr;
        std::shared_ptr<Object> obj = ch ? FindObjectByName(*ch, name) : nullptr;
        return obj && obj->state == state;
      },
      lk);
}

bool SimState::ObjectFlags(KapSimClient* client, const char* name, uint32_t* flags) {
  if (flags == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  std::shared_ptr<Channel> ch = cl ? FindChannel(cl->channel) : nullptr;
  std::shared_ptr<Object> obj = ch ? FindObjectByName(*ch, name) : nullptr;
  if (!obj) return false;
  *flags = obj->flags;
  return true;
}

bool SimState::SideChannelRequest(KapSimClient* client, const char* name,
                                  KAPRPC_SideChannelType* type, char* token, int tokenSize) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  std::shared_ptr<Channel> ch = cl ? FindChannel(cl->channel) : nullptr;
  std::shared_ptr<Object> obj = ch ? FindObjectByName(*ch, name) : nullptr;
  if (!obj || obj->sideChannelType == 0) return false;
  if (type != nullptr) *type = static_cast<KAPRPC_SideChannelType>(obj->sideChannelType);
  if (token != nullptr && tokenSize > 0) {
    const size_t n = std::min(obj->sideChannelToken.size(), static_cast<size_t>(tokenSize - 1));
    std::memcpy(token, obj->sideChannelToken.data(), n);
    token[n] = '\0';
  }
  return true;
}

bool SimState::SendRequest(KapSimClient* client, const char* objectName, uint32_t command,
                           const KapSimParam* params, int count, uint32_t* requestId) {
  std::vector<StoredPtr> values;
  if (!StoreAll(params, count, values)) return false;  // copied before taking the lock
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  if (!cl || !cl->connected) return false;
  std::shared_ptr<Channel> ch = FindChannel(cl->channel);
  std::shared_ptr<Object> obj = ch ? FindObjectByName(*ch, objectName) : nullptr;
  if (!obj || !IsObjectConnected(obj->state)) return false;
  uint32_t id = m_nextContextId++;
  if (id == 0) id = m_nextContextId++;
  if (requestId != nullptr) cl->requests[id] = Request{};  // else nobody can ask for it
  Event e{Event::INVOKE};
  e.object = obj->id;
  e.client = cl->id;
  e.requestId = id;
  e.command = command;
  e.values = std::move(values);
  Post(*ch, std::move(e));
  if (requestId != nullptr) *requestId = id;
  return true;
}

KapSimRequestState SimState::WaitRequest(KapSimClient* client, uint32_t requestId, uint32_t ms) {
  std::unique_lock<std::mutex> lk(m_lock);
  KapSimRequestState state = KAPSIM_REQUEST_UNKNOWN;
  WaitFor(
      ms,
      [&] {
        state = KAPSIM_REQUEST_UNKNOWN;
        std::shared_ptr<Client> cl = FindClient(client);
        if (cl) {
          auto rq = cl->requests.find(requestId);
          if (rq != cl->requests.end()) state = rq->second.state;
        }
        return state != KAPSIM_REQUEST_PENDING;
      },
      lk);
  return state;
}

bool SimState::GetReply(KapSimClient* client, uint32_t requestId, uint32_t* returnCode,
                        int* count) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  if (!cl) return false;
  auto rq = cl->requests.find(requestId);
  if (rq == cl->requests.end() || rq->second.state != KAPSIM_REQUEST_ANSWERED) return false;
  if (returnCode != nullptr) *returnCode = rq->second.returnCode;
  if (count != nullptr) *count = static_cast<int>(rq->second.values.size());
  return true;
}

bool SimState::GetReplyValue(KapSimClient* client, uint32_t requestId, int index, const char** name,
                             const KAP_RPC_VARIANT** value) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  if (!cl) return false;
  auto rq = cl->requests.find(requestId);
  if (rq == cl->requests.end() || rq->second.state != KAPSIM_REQUEST_ANSWERED || index < 0 ||
      index >= static_cast<int>(rq->second.values.size())) {
    return false;
  }
  if (name != nullptr) *name = rq->second.values[index]->name.c_str();
  if (value != nullptr) *value = &rq->second.views[index];
  return true;
}

int SimState::MessageCount(KapSimClient* client) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  return cl ? cl->received : -1;
}

bool SimState::WaitMessageCount(KapSimClient* client, int count, uint32_t ms) {
  std::unique_lock<std::mutex> lk(m_lock);
  return WaitFor(
      ms,
      [&] {
        std::shared_ptr<Client> cl = FindClient(client);
        return cl && cl->received >= count;
      },
      lk);
}

bool SimState::GetMessage(KapSimClient* client, int index, KapSimMessage* out) {
  if (out == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  const Message* found = cl ? cl->Readable(index) : nullptr;
  if (found == nullptr) return false;
  const Message& m = *found;
  out->objectName = m.objectName.c_str();
  out->requestId = m.requestId;
  out->command = m.command;
  out->namedCommand = m.namedCommand.c_str();
  out->paramCount = static_cast<int>(m.params.size());
  out->postMode = m.post ? TRUE : FALSE;
  out->completionWanted = m.completion ? TRUE : FALSE;
  out->finished = m.finished ? TRUE : FALSE;
  out->contextOptions = m.options;
  return true;
}

bool SimState::GetMessageParam(KapSimClient* client, int index, int param, const char** name,
                               const KAP_RPC_VARIANT** value) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  const Message* found = cl ? cl->Readable(index) : nullptr;
  if (found == nullptr) return false;
  const Message& m = *found;
  if (param < 0 || param >= static_cast<int>(m.params.size())) return false;
  if (name != nullptr) *name = m.params[param]->name.c_str();
  if (value != nullptr) *value = &m.views[param];
  return true;
}

bool SimState::FinishMessage(KapSimClient* client, int index, bool complete, uint32_t returnCode,
                             const KapSimParam* values, int count, Bool userCancelled,
                             uint32_t reason) {
  std::vector<StoredPtr> stored;
  if (complete && !StoreAll(values, count, stored)) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  auto it = cl ? cl->inbox.find(index) : std::map<int, std::unique_ptr<Message>>::iterator();
  if (!cl || it == cl->inbox.end()) return false;
  Message& m = *it->second;
  if (!m.completion || m.finished) return false;
  std::shared_ptr<Channel> ch = FindChannel(m.channel);
  if (!ch) return false;
  m.finished = true;
  Event e{complete ? Event::DONE : Event::ABORT};
  e.callback = m.callback;
  e.userData = m.userData;
  e.requestId = m.requestId;
  e.returnCode = returnCode;
  e.values = std::move(stored);
  e.userCancelled = userCancelled;
  e.reason = reason;
  Post(*ch, std::move(e));
  cl->ForgetIfDone(it);
  m_changed.notify_all();
  return true;
}

bool SimState::ReleaseMessages(KapSimClient* client, int count) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  if (!cl) return false;
  cl->released = std::max(cl->released, std::min(count, cl->received));
  for (auto it = cl->inbox.begin(); it != cl->inbox.end() && it->first < cl->released;) {
    cl->ForgetIfDone(it++);
  }
  return true;
}

bool SimState::ReleaseRequest(KapSimClient* client, uint32_t requestId) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  return cl && cl->requests.erase(requestId) != 0;
}

// ---- Server table ----------------------------------------------------------------------

bool SimState::RegisterServerSink(void* userData, const KAPService_ServerNotifySink* sink,
                                  KapMultiServerID multiServer, KapServerNotifySinkID* sinkId) {
  if (sink == nullptr || sink->version < 1 || sinkId == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> hub = FindChannel(ToHandle(multiServer));
  if (!hub || !hub->isHub) {
    ++m_badHandles;
    return false;
  }
  if (hub->serverSinkId != 0) return false;  // one listener per multi-server session
  hub->serverSinkId = NewHandle();
  hub->serverSink = *sink;
  hub->serverUserData = userData;
  m_serverSinks[hub->serverSinkId] = hub->id;
  *sinkId = ToPtr(hub->serverSinkId);
  return true;
}

bool SimState::UnregisterServerSink(KapServerNotifySinkID sinkId) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_serverSinks.find(ToHandle(sinkId));
  if (it == m_serverSinks.end()) {
    ++m_badHandles;
    return false;
  }
  std::shared_ptr<Channel> hub = FindChannel(it->second);
  if (hub) {
    hub->serverSinkId = 0;
    hub->serverSink = KAPService_ServerNotifySink{};
    hub->serverUserData = nullptr;
  }
  m_serverSinks.erase(it);
  return true;
}

bool SimState::IsServerKnown(KapServerID server) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = FindServer(server);
  return ch && !ch->leaving;
}

bool SimState::StopServer(KapServerID server, bool all) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = FindServer(server);
  if (!ch) return false;
  std::vector<std::shared_ptr<Channel>> targets{ch};
  if (all) {
    targets.clear();
    std::shared_ptr<Channel> hub = FindChannel(ch->hub);
    for (Handle member : hub ? hub->members : std::vector<Handle>()) {
      std::shared_ptr<Channel> m = FindChannel(member);
      if (m) targets.push_back(m);
    }
  }
  bool stopped = false;
  for (const std::shared_ptr<Channel>& t : targets) {
    if (t->leaving) continue;
    if (t->client != 0) DropClient(*t);
    stopped = LeaveServer(*t) || stopped;
  }
  return all || stopped;
}

void* SimState::ServerChannel(KapServerID server) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = FindServer(server);
  return ch ? ToPtr(ch->id) : nullptr;
}

bool SimState::UniqueId(KapServerID server, std::string* id) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!FindServer(server)) return false;
  char text[64];
  snprintf(text, sizeof(text), "kapsim-server-%016llx",
           static_cast<unsigned long long>(ToHandle(server)));
  *id = text;
  return true;
}

bool SimState::OpenMsgChannel(void* userData, KapServerID server, const char* name,
                              const KAPService_MsgChannelNotifySink* sink) {
  if (name == nullptr || name[0] == '\0' || std::strlen(name) > 255 || sink == nullptr ||
      sink->version < 1) {
    return false;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = FindServer(server);
  if (!ch) return false;
  auto mc = std::make_shared<MsgChannel>();
  mc->id = NewHandle();
  mc->group = NewHandle();
  mc->channel = ch->id;
  mc->name = name;
  mc->sink = *sink;
  mc->userData = userData;
  m_msgChannels[mc->id] = mc;
  Event opened{Event::MSG_OPENED};
  opened.object = mc->id;
  Post(*ch, std::move(opened));
  return true;
}

bool SimState::MsgChannelInfo(KapServerID server, KapMsgChannelID id,
                              KAPService_MsgChannelInfo* info) {
  if (info == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = FindServer(server);
  if (!ch) return false;
  std::shared_ptr<MsgChannel> mc;
  int32_t pid = static_cast<int32_t>(getpid());
  std::string token = ch->token;
  auto peer = m_peers.find(ToHandle(id));
  if (peer != m_peers.end()) {
    auto it = m_msgChannels.find(peer->second->msgChannel);
    if (it != m_msgChannels.end()) mc = it->second;
    pid = peer->second->pid;
    token = peer->second->token;
  } else {
    auto it = m_msgChannels.find(ToHandle(id));
    if (it != m_msgChannels.end()) mc = it->second;
  }
  if (!mc || mc->channel != ch->id) return false;  // not a channel of this server
  std::memset(info, 0, sizeof(*info));
  info->version = 1;
  info->serverPid = pid;
  snprintf(info->serverToken, sizeof(info->serverToken), "%s", token.c_str());
  snprintf(info->msgChannelName, sizeof(info->msgChannelName), "%s", mc->name.c_str());
  return true;
}

bool SimState::CloseMsgChannel(KapMsgChannelID id) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!FindMsgChannel(id)) return false;
  m_msgChannels.erase(ToHandle(id));
  for (auto p = m_peers.begin(); p != m_peers.end();) {
    p = p->second->msgChannel == ToHandle(id) ? m_peers.erase(p) : std::next(p);
  }
  return true;
}

bool SimState::SendMsgToGroup(KapMsgChannelID id, KapMsgGroupID, const void* msg, int len) {
  if (len < 0 || (len > 0 && msg == nullptr)) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<MsgChannel> mc = FindMsgChannel(id);
  return mc && mc->open;
}

bool SimState::SwitchToStreamData(const char* name, void* channel, int* fd) {
  if (name == nullptr || fd == nullptr) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Channel> ch = FindChannel(ToHandle(channel));
  if (!ch) {
    ++m_badHandles;
    return false;
  }
  if (ch->client == 0 || ch->chan != KAP_SERVICE_CHAN_CONNECTED || ch->streamPeer >= 0) {
    return false;
  }
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  *fd = ends[0];  // the caller's from now on
  ch->streamPeer = ends[1];
  return true;
}

KapServerID SimState::ClientServer(KapSimClient* client) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  std::shared_ptr<Channel> ch = cl ? FindChannel(cl->channel) : nullptr;
  return ch ? ToPtr(ch->server) : nullptr;
}

bool SimState::PeerSend(KapSimClient* client, const char* channelName, int32_t pid,
                        const char* token, const void* msg, int len) {
  if (channelName == nullptr || token == nullptr || len < 0 || (len > 0 && msg == nullptr)) {
    return false;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  std::shared_ptr<Channel> ch = cl ? FindChannel(cl->channel) : nullptr;
  if (!ch) return false;
  std::shared_ptr<MsgChannel> mc;
  for (auto& entry : m_msgChannels) {
    if (entry.second->channel == ch->id && entry.second->open &&
        entry.second->name == channelName) {
      mc = entry.second;
    }
  }
  if (!mc) return false;
  std::shared_ptr<Peer> peer;
  for (auto& entry : m_peers) {
    if (entry.second->msgChannel == mc->id && entry.second->pid == pid &&
        entry.second->token == token) {
      peer = entry.second;
    }
  }
  if (!peer) {
    peer = std::make_shared<Peer>();
    peer->id = NewHandle();
    peer->msgChannel = mc->id;
    peer->pid = pid;
    peer->token = token;
    m_peers[peer->id] = peer;
  }
  Event e{Event::MSG_RECEIVED};
  e.object = mc->id;
  e.client = peer->id;
  if (len > 0) e.data.assign(static_cast<const char*>(msg), static_cast<size_t>(len));
  Post(*ch, std::move(e));
  return true;
}

int SimState::StreamDataPeer(KapSimClient* client) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::shared_ptr<Client> cl = FindClient(client);
  std::shared_ptr<Channel> ch = cl ? FindChannel(cl->channel) : nullptr;
  return ch ? ch->streamPeer : -1;
}

void SimState::Counters(KapSimCounters* out) {
  if (out == nullptr) return;
  std::lock_guard<std::mutex> guard(m_lock);
  out->servers = static_cast<int64_t>(m_channels.size());  // single, multi and their servers
  out->channelSinks = static_cast<int64_t>(m_sinkOwners.size());
  out->objects = static_cast<int64_t>(m_objects.size());
  out->contexts = static_cast<int64_t>(m_contexts.size());
  out->variants = VariantStore::Get().Live();
  out->clients = static_cast<int64_t>(m_clients.size());
  out->badHandles = m_badHandles;
  out->badClears = VariantStore::Get().BadClears();
  out->unboundCalls = m_unboundCalls;
  out->serverSinks = static_cast<int64_t>(m_serverSinks.size());
  out->msgChannels = static_cast<int64_t>(m_msgChannels.size());
}

}  // namespace kapsim
