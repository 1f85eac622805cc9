#include "runtime/QrThreadData.h"

QrThreadData::QrThreadData(QrThread* owner, const std::string& name)
    : m_name(name),
      m_qrThread(owner),
      m_wakeEvent(false, false),
      m_exitEvent(true, false),
      m_joinEvent(true, false),
      m_lock(false) {}
