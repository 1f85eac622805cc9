#include "channel/SessionUtils.h"

#include <cstdio>

#include "logging/Log.h"
#include "runtime/ProcessUtils.h"

std::atomic<KAPService_SessionType> SessionUtils::s_SessionType(KAP_SERVICE_NONE_SESSION);
QrMutex SessionUtils::s_mapLock(false, "");
std::map<uint32_t, QrElapsedTimer> SessionUtils::s_sessionTimes;
std::map<uint32_t, SessionUtils::SidPair> SessionUtils::s_uniqueToSidsMap;
std::map<SessionUtils::SidPair, uint32_t> SessionUtils::s_sidsToUniqueMap;
std::atomic<int64_t> SessionUtils::s_next(65536);

KAPService_SessionType SessionUtils::GetSessionType() {
  return s_SessionType.load(std::memory_order_relaxed);
}

void SessionUtils::SetSessionType(KAPService_SessionType type) {
  s_SessionType.store(type, std::memory_order_relaxed);
}

std::string SessionUtils::SessionTypeToStr(KAPService_SessionType type) {
  switch (type) {
    case KAP_SERVICE_TALON_SESSION:
      return "TALON SESSION";
    case KAP_SERVICE_QUILL_SESSION:
      return "QUILL SESSION";
    case KAP_SERVICE_NONE_SESSION:
      return "NONE SESSION";
    default:
      break;
  }
  char text[32];
  snprintf(text, sizeof(text), "unknown %d", static_cast<int>(type));
  return text;
}

DWORD SessionUtils::GetNextUniqueSid(DWORD platformSid, ProtocolSID protocolSid) {
  SidPair sids(platformSid, reinterpret_cast<uintptr_t>(protocolSid));
  AutoMutexLock lock(s_mapLock);
  auto found = s_sidsToUniqueMap.find(sids);
  if (found != s_sidsToUniqueMap.end()) {
    return found->second;
  }
  uint32_t uniqueId = static_cast<uint32_t>(++s_next);
  if (uniqueId == 0) {
    uniqueId = static_cast<uint32_t>(++s_next);
  }
  s_sidsToUniqueMap[sids] = uniqueId;
  s_uniqueToSidsMap[uniqueId] = sids;
  return uniqueId;
}

BOOL SessionUtils::GetSidsFromUniqueSid(DWORD uniqueSessionId, DWORD& platformSessionId,
                                        ProtocolSID& protocolSid) {
  AutoMutexLock lock(s_mapLock);
  auto found = s_uniqueToSidsMap.find(uniqueSessionId);
  if (found == s_uniqueToSidsMap.end()) {
    return FALSE;
  }
  platformSessionId = found->second.first;
  protocolSid = reinterpret_cast<ProtocolSID>(found->second.second);
  return TRUE;
}

BOOL SessionUtils::RemoveUniqueSid(DWORD uniqueSessionId) {
  AutoMutexLock lock(s_mapLock);
  auto found = s_uniqueToSidsMap.find(uniqueSessionId);
  if (found == s_uniqueToSidsMap.end()) {
    return FALSE;
  }
  BOOL result = FALSE;
  auto peer = s_sidsToUniqueMap.find(found->second);
  if (peer == s_sidsToUniqueMap.end()) {
    QR_LOG(LOGGER_LOG_WARN, "Internal SID map missing peer!\n");
  } else if (peer->second != uniqueSessionId) {
    QR_LOG(LOGGER_LOG_WARN, "Internal SID map out-of-sync!\n");
  } else {
    s_sidsToUniqueMap.erase(peer);
    result = TRUE;
  }
  s_uniqueToSidsMap.erase(found);
  return result;
}

QrElapsedTimer& SessionUtils::TimerFor(DWORD sessionId) {
  uint32_t key = ProcessUtils::GetSessionID(false, sessionId);
  auto found = s_sessionTimes.find(key);
  if (found == s_sessionTimes.end()) {
    // A new timer starts running at construction.
    found = s_sessionTimes.emplace(key, QrElapsedTimer()).first;
  }
  return found->second;
}

uint32_t SessionUtils::GetElapsedTime(DWORD sessionId) {
  AutoMutexLock lock(s_mapLock);
  return static_cast<uint32_t>(TimerFor(sessionId).MarkMS64(QrTimer::NO_CHANGE));
}

void SessionUtils::ResetStartTime(DWORD sessionId) {
  AutoMutexLock lock(s_mapLock);
  TimerFor(sessionId).GetTimerCount(QrTimer::RESET_AND_RESUME);
}
