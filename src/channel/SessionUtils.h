// Process-wide facts about desktop sessions: the display protocol of the current session,
// printable session-type names, unique 32-bit ids for (platform session, protocol session)
// pairs, and one elapsed-time timer per session.
// Thread safe: the id maps and the timers are used only under s_mapLock; the session type
// is an atomic value written from the channel-service dispatch thread and read anywhere.
#ifndef CHANNEL_SESSIONUTILS_H
#define CHANNEL_SESSIONUTILS_H

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "channel/KapServiceApi.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/QrElapsedTimer.h"
#include "runtime/QrMutex.h"
#include "usbRedirectionPlugin.h"

// Opaque pointer-sized session id of the display protocol.
typedef void* ProtocolSID;

class SessionUtils {
 public:
  SessionUtils() = delete;

  static KAPService_SessionType GetSessionType();
  static void SetSessionType(KAPService_SessionType type);
  // "TALON SESSION", "QUILL SESSION", "NONE SESSION", or "unknown <value>".
  static std::string SessionTypeToStr(KAPService_SessionType type);

  // The same pair always yields the same id until it is removed; ids start at 65537 and
  // are never 0.
  static DWORD GetNextUniqueSid(DWORD platformSid, ProtocolSID protocolSid);
  // TRUE and the pair for a known id; FALSE and the outputs untouched otherwise.
  static BOOL GetSidsFromUniqueSid(DWORD uniqueSessionId, DWORD& platformSessionId,
                                   ProtocolSID& protocolSid);
  static BOOL RemoveUniqueSid(DWORD uniqueSessionId);

  // Milliseconds since the session's timer started; the first call starts it.
  static uint32_t GetElapsedTime(DWORD sessionId);
  static void ResetStartTime(DWORD sessionId);

 private:
  // The protocol id is kept as an integer so that the reverse map's order is defined.
  typedef std::pair<DWORD, uintptr_t> SidPair;

  static QrElapsedTimer& TimerFor(DWORD sessionId) QR_REQUIRES(s_mapLock);

  static std::atomic<KAPService_SessionType> s_SessionType;
  static QrMutex s_mapLock;
  static std::map<uint32_t, QrElapsedTimer> s_sessionTimes QR_GUARDED_BY(s_mapLock);
  static std::map<uint32_t, SidPair> s_uniqueToSidsMap QR_GUARDED_BY(s_mapLock);
  static std::map<SidPair, uint32_t> s_sidsToUniqueMap QR_GUARDED_BY(s_mapLock);
  static std::atomic<int64_t> s_next;
};

#endif  // CHANNEL_SESSIONUTILS_H
