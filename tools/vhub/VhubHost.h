// A small stand-in for the virtual USB hub daemon: loads the plug-in with dlopen, hands it
// a callback table, runs each session on a thread of its own (Register, then Poll) and
// records every callback, so that tests, benchmarks and the demo can drive the plug-in
// exactly as the daemon would. Asynchronous requests are answered with buffers this host
// allocates (malloc) and keeps in a table until they are handed back. Registered through
// the exported InitVhubCallback (single-server mode) the plug-in copies only the v1 entries
// and never hands a buffer back, whatever withFree says: each answered request logs the
// plug-in's leak line, and the host frees a session's buffers once its Unregister has
// returned (the plug-in no longer holds them then). In multi-server mode each buffer comes
// back once through v3.kapvhubFree, which frees it and counts a pointer or length it did
// not hand out as a bad free. Messages and state changes are kept whole unless
// SetKeepRecords(false) says to keep only their counts (long runs).
// Thread safe: callbacks arrive on the sessions' poll threads while the control thread
// starts, stops and queries; all recorded state is guarded by one mutex. One host per
// process, because the callback table carries no user data.
#ifndef VHUB_VHUBHOST_H
#define VHUB_VHUBHOST_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "usbRedirectionPlugin.h"

class VhubHost {
 public:
  struct Message {
    DWORD sessionId;
    std::string payload;
    USB_RedirPackageType type;
    USB_OperationType opType;
    bool canRespond;  // the plug-in passed response pointers
  };
  struct StateChange {
    DWORD sessionId;
    USB_RedirChannelState state;
  };
  // Decides the answer to a message that can be answered; return false to leave it empty.
  // Runs on the session's poll thread, without the host's lock.
  typedef std::function<bool(const Message&, std::string* reply)> Responder;
  // Sees every message as it arrives (after recording); on the session's poll thread.
  typedef std::function<void(const Message&)> MessageObserver;

  explicit VhubHost(std::string pluginPath);
  // Stops and unregisters every running session, finalises and unloads the plug-in.
  ~VhubHost();
  VhubHost(const VhubHost&) = delete;
  VhubHost& operator=(const VhubHost&) = delete;

  // dlopen and dlsym of the eight entry points; the error text on failure.
  bool Load(std::string* error);
  void Init();
  void Fini();
  // Hands over the callback table through the exported (single-server) registration;
  // withFree adds v3.kapvhubFree, which that registration does not copy.
  BOOL InitVhubCallback(bool withFree = true);

  // Starts the session's thread: Register, then Poll until StopSession. Answers
  // Register's result (a thread whose Register failed ends at once).
  bool StartSession(DWORD sessionId);
  // Stop, wait for Poll to return, then Unregister, then free the session's buffers the
  // plug-in did not give back. Nothing for an unknown session.
  void StopSession(DWORD sessionId);
  BOOL SendResponse(DWORD sessionId, const void* data, uint32_t length,
                    USB_RedirPackageType type, const USBRedir_SendResponseExt* extData);

  void SetResponder(Responder responder);
  // Off: Messages() and StateChanges() stay empty and only the counts (and bytes) grow, so a
  // long run keeps flat memory. On by default.
  void SetKeepRecords(bool keep);
  void SetMessageObserver(MessageObserver observer);

  // Waits until the session has seen `count` changes to `state`; false on timeout.
  bool WaitForState(DWORD sessionId, USB_RedirChannelState state, size_t count, int timeoutMs);
  // Waits until the session has received `count` messages in all; false on timeout.
  bool WaitForMessages(DWORD sessionId, size_t count, int timeoutMs);

  std::vector<Message> Messages(DWORD sessionId) const;
  size_t MessageCount(DWORD sessionId) const;
  uint64_t MessageBytes(DWORD sessionId) const;
  std::vector<StateChange> StateChanges() const;
  size_t StateChangeCount(DWORD sessionId, USB_RedirChannelState state) const;
  size_t BuffersGivenOut() const;
  size_t BuffersFreed() const;     // given back through v3.kapvhubFree
  size_t BuffersReclaimed() const;  // never given back, freed after Unregister
  size_t BadFrees() const;  // frees of unknown buffers or with a wrong length

  // The entry points, for callers that want to call the plug-in directly.
  struct EntryPoints {
    void (*Init)(void);
    void (*Fini)(void);
    BOOL (*InitVhubCallback)(USBRedir_CallbackInterface*);
    BOOL (*Register)(DWORD);
    void (*Unregister)(DWORD);
    void (*Poll)(DWORD, void*);
    void (*Stop)(DWORD);
    BOOL (*SendResponse)(DWORD, char*, uint32_t, USB_RedirPackageType,
                         USBRedir_SendResponseExt*);
  };
  const EntryPoints& Entry() const { return m_entry; }

 private:
  static void OnChannelStateChange(DWORD sessionId, USB_RedirChannelState state);
  static void OnMessageArrive(DWORD sessionId, char* msg, uint32_t msgLength,
                              USB_RedirPackageType type, USB_OperationType opType,
                              char** respMsg, uint32_t* respMsgLength);
  static void KapvhubFree(char* buffer, uint32_t length);

  size_t CountStatesLocked(DWORD sessionId, USB_RedirChannelState state) const;  // m_lock held
  void RecordState(DWORD sessionId, USB_RedirChannelState state);
  void RecordMessage(Message message, char** respMsg, uint32_t* respMsgLength);
  void RecordFree(char* buffer, uint32_t length);

  std::string m_pluginPath;
  void* m_library = nullptr;
  EntryPoints m_entry = {};
  bool m_initialised = false;

  mutable std::mutex m_lock;
  std::condition_variable m_changed;                       // signalled on every record
  std::map<DWORD, std::thread> m_sessions;                 // guarded by m_lock
  std::map<DWORD, std::vector<Message>> m_messages;        // guarded by m_lock
  std::map<DWORD, std::pair<size_t, uint64_t>> m_totals;   // count, bytes; m_lock
  bool m_keepRecords = true;                               // guarded by m_lock
  std::vector<StateChange> m_states;                       // guarded by m_lock
  std::map<std::pair<DWORD, int>, size_t> m_stateCounts;   // guarded by m_lock
  // Lent reply buffers: length and session; guarded by m_lock.
  std::map<const char*, std::pair<uint32_t, DWORD>> m_outstanding;
  size_t m_given = 0, m_freed = 0, m_badFrees = 0;          // guarded by m_lock
  size_t m_reclaimed = 0;                                  // guarded by m_lock
  Responder m_responder;                                   // guarded by m_lock
  MessageObserver m_observer;                              // guarded by m_lock

  static VhubHost* s_host;  // the one host whose table the plug-in holds
};

#endif  // VHUB_VHUBHOST_H
