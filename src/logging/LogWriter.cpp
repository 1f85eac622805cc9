#include "logging/LogWriter.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "logging/LoggerManager.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/QrPollThread.h"
#include "runtime/StringUtils.h"

namespace {

const char kSeparatorLine[] = "---------------------------------------\n";
const int kDrainAll = INT_MAX;
// Queued lines at which the drain is woken early: enough to write in one run, few enough
// that their memory is reused rather than grown.
const size_t kWakeDrainAt = 4096;

// Builds text into a bounded buffer as snprintf would: what does not fit is cut, the text
// stays terminated, and Length() is what was stored. Used for the line prefix, which every
// line needs and which the general formatter makes several times slower.
class BoundedText {
 public:
  BoundedText(char* buffer, int size) : m_buffer(buffer), m_room(size - 1), m_length(0) {}

  void Append(const char* text, size_t length) {
    size_t fits = static_cast<size_t>(m_room - m_length);
    if (length > fits) {
      length = fits;
    }
    memcpy(m_buffer + m_length, text, length);
    m_length += static_cast<int>(length);
  }
  void Append(const char* text) { Append(text, strlen(text)); }
  void Append(char c) { Append(&c, 1); }
  // Upper-case hexadecimal with at least minDigits digits, zero-padded ("%0*lX").
  void AppendHex(unsigned long value, int minDigits) {
    char digits[2 * sizeof(value)];
    int n = 0;
    do {
      digits[sizeof(digits) - 1 - n++] = "0123456789ABCDEF"[value & 0xF];
      value >>= 4;
    } while (value != 0);
    while (n < minDigits) {
      digits[sizeof(digits) - 1 - n++] = '0';
    }
    Append(digits + sizeof(digits) - n, static_cast<size_t>(n));
  }
  int Finish() {
    m_buffer[m_length] = '\0';
    return m_length;
  }

 private:
  char* m_buffer;
  int m_room;
  int m_length;
};

}  // namespace

LogWriter::PollLogWriter::PollLogWriter(LogWriter* writer)
    : QrPollItem("LogWriter"), m_syncInProgress(false), m_writer(writer) {}

bool LogWriter::PollLogWriter::Run(bool /*timedOut*/) {
  // The flag is raised before the queues are swapped under the lock, so EnableBatchMode
  // (which runs under the lock) either sees the pass or the pass sees batch mode.
  m_syncInProgress = true;
  int queueIndex = -1;
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    if (m_writer->m_enabled && m_writer->m_bufferingEnabled && !m_writer->m_batchEnabled) {
      queueIndex = m_writer->SwapInputQueues();
    }
  }
  if (queueIndex >= 0) {
    m_writer->WriteMessages(queueIndex, kDrainAll);
  }
  m_syncInProgress = false;
  return true;
}

LogWriter::OutputGuard::OutputGuard(LogWriter* writer) : m_writer(writer) {
  // Under the lock even though the item's own operations lock: an item not yet on the
  // poll thread has no lock of its own.
  AutoMutexLock lock(LoggerManager_GetLock());
  m_writer->m_pollWriter->Disable(true);
}

LogWriter::OutputGuard::~OutputGuard() {
  AutoMutexLock lock(LoggerManager_GetLock());
  m_writer->m_pollWriter->Enable();
}

LogWriter::LogWriter(LogWriterType type)
    : m_type(type),
      m_bufferSize(15000),
      m_syncInterval(1000),
      m_processId(static_cast<uint32_t>(getpid())),
      m_threadId(0),
      m_firstMessage(true),
      m_bufferingEnabled(false),
      m_initialized(false),
      m_shutdown(false),
      m_enabled(true),
      m_prefixLen(0),
      m_batchEnabled(false),
      m_pollWriter(new PollLogWriter(this)),
      m_wakeDrain(false, false),
      m_inputQueueIndex(0),
      m_outputQueueIndex(1) {
  m_pollWriter->SetTimeoutMS(static_cast<int32_t>(m_syncInterval), true);
  // The drain stays disabled while the writer is unbuffered (or disabled).
  m_pollWriter->Disable(false);
}

LogWriter::~LogWriter() {
  // Normally Close() already did this; a writer must never leave its item behind on the
  // poll thread with a dangling back pointer.
  RemovePollItem();
}

void LogWriter::RemovePollItem() {
  if (m_pollWriter.Ptr() != nullptr) {
    m_pollWriter->Remove(true);
  }
}

const char* LogWriter::LineText(const RCPtr<LogMessage>& msg) {
  return msg.Ptr() != nullptr && msg->m_msg != nullptr
             ? msg->m_msg
             : "Failed to allocate memory for log message\n";
}

bool LogWriter::ParseOptionNumber(const std::string& text, uint32_t* value) {
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || end == text.c_str() || *end != '\0' || errno != 0 || parsed > 0xFFFFFFFFull ||
      text[0] == '-') {
    return false;
  }
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool LogWriter::DropMessage(const RCPtr<LogMessage>& /*msg*/) const { return false; }

bool LogWriter::SetCustomOption(const std::string& /*option*/, const std::string& /*value*/) {
  return false;
}

bool LogWriter::GetCustomOption(const std::string& /*option*/, std::string& /*value*/) {
  return false;
}

void LogWriter::OnPreSyncMessages() {}

void LogWriter::OnPostSyncMessages() {}

int LogWriter::FormatMessagePrefix(char* message, int messageSize, const char* funcName,
                                   Level logLevel) {
  if (message == nullptr || messageSize < 1) {
    return 0;
  }
  if (funcName == nullptr || funcName[0] == '\0') {
    // Continuation line: blanks as wide as the previous prefix.
    int n = m_prefixLen < messageSize - 1 ? m_prefixLen : messageSize - 1;
    if (n < 0) {
      n = 0;
    }
    std::memset(message, ' ', static_cast<size_t>(n));
    message[n] = '\0';
    return n;
  }
  const char* separator = "";
  QrThreadID tid = QrThread::GetCurrentThreadID();
  if (tid != m_threadId) {
    if (m_threadId != 0) {
      separator = kSeparatorLine;
    }
    m_threadId = tid;
  }
  bool utc = m_logger.Ptr() == nullptr || !m_logger->UseLocalTime();
  char timeStamp[64];
  if (StringUtils::TimeStr(timeStamp, sizeof(timeStamp), utc) <= 0) {
    timeStamp[0] = '\0';
  }
  char name[128];
  name[0] = '\0';
  StringUtils::FormatFunctionName(funcName, name, sizeof(name));
  // "%s%s <%08lX> [%04X] %c %s: ": separator, time stamp, thread, process, letter, name.
  BoundedText prefix(message, messageSize);
  prefix.Append(separator);
  prefix.Append(timeStamp);
  prefix.Append(" <", 2);
  prefix.AppendHex(static_cast<unsigned long>(tid), 8);
  prefix.Append("> [", 3);
  prefix.AppendHex(m_processId, 4);
  prefix.Append("] ", 2);
  prefix.Append(GetLevelLetter(logLevel));
  prefix.Append(' ');
  prefix.Append(name);
  prefix.Append(": ", 2);
  int n = prefix.Finish();
  m_prefixLen = n;
  return n;
}

bool LogWriter::WriteDirect(const char* funcText, Level level, const char* format, ...) {
  char buffer[kMaxLineSize];
  int n = 0;
  RCPtr<LogMessage> msg;
  {
    // The prefix bookkeeping (last thread, last prefix length) is logging state.
    AutoMutexLock lock(LoggerManager_GetLock());
    buffer[0] = '\0';
    if (funcText != nullptr) {
      n = FormatMessagePrefix(buffer, sizeof(buffer), funcText, level);
    }
    va_list args;
    va_start(args, format);
    int m = StringUtils::vsnprintf(buffer + n, kMaxLineSize - n, format, args);
    va_end(args);
    size_t length = m < 0 ? strnlen(buffer, sizeof(buffer)) : static_cast<size_t>(n + m);
    msg = LogMessage::Create(buffer, length, level);
  }
  if (msg.Ptr() == nullptr) {
    return false;
  }
  return WriteMessage(msg);
}

bool LogWriter::Init() {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_initialized) {
    return true;
  }
  if (!OnInit()) {
    return false;
  }
  RCPtr<QrPollThread> pollThread = Logger::GetPollThread();
  if (pollThread.Ptr() != nullptr) {
    pollThread->AddItem(m_pollWriter, &m_wakeDrain, static_cast<int32_t>(m_syncInterval));
  }
  m_initialized = true;
  if (m_firstMessage) {
    m_firstMessage = false;
    if (!m_header.empty()) {
      WriteDirect("Bool LogWriter::Init()", LOGGER_LOG_ALWAYS, "%s\n", m_header.c_str());
    }
  }
  return true;
}

bool LogWriter::Close() {
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    m_shutdown = true;
  }
  // Outside the lock, so that a drain pass that is running can finish; once the item is
  // off the poll thread this thread owns the output.
  RemovePollItem();
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    FlushLocked();
    if (m_initialized && !m_footer.empty()) {
      WriteDirect("Bool LogWriter::Close()", LOGGER_LOG_ALWAYS, "%s\n", m_footer.c_str());
    }
    m_initialized = false;
  }
  return OnClose();
}

bool LogWriter::AppendMessage(const RCPtr<LogMessage>& msg) {
  MessageQueueInfo& input = m_queueInfo[m_inputQueueIndex];
  if (!m_enabled) {
    ++input.m_numDroppedMessages;
    return false;
  }
  if (!m_bufferingEnabled) {
    OnPreSyncMessages();
    WriteMessage(msg);
    OnPostSyncMessages();
    return true;
  }
  if (m_shutdown || DropMessage(msg)) {
    ++input.m_numDroppedMessages;
    return false;
  }
  input.m_messages.push_back(msg);
  if (!m_batchEnabled) {
    size_t queued = input.m_messages.size();
    if (queued >= m_bufferSize) {
      EnableBatchMode();
    } else if (queued % kWakeDrainAt == 0) {
      m_wakeDrain.Set();
    }
  } else {
    BatchMessages();
  }
  return true;
}

bool LogWriter::EnableBatchMode() {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_batchEnabled) {
    return true;
  }
  m_pollWriter->Disable(false);
  if (m_pollWriter->m_syncInProgress) {
    m_pollWriter->Enable();
    return false;  // the drain is writing; a later message retries
  }
  m_batchEnabled = true;
  WriteDirect(nullptr, LOGGER_LOG_ALWAYS, "%s", "\n***** BATCH MODE ENABLED *****\n\n");
  return true;
}

void LogWriter::BatchMessages() {
  size_t queued = m_queueInfo[m_inputQueueIndex].m_messages.size();
  if (queued > 0 && queued % 100 == 0) {
    WriteMessages(m_inputQueueIndex, 200);
  }
}

int LogWriter::SwapInputQueues() {
  AutoMutexLock lock(LoggerManager_GetLock());
  int previousInput = m_inputQueueIndex;
  m_inputQueueIndex = m_outputQueueIndex;
  m_outputQueueIndex = previousInput;
  return m_outputQueueIndex;
}

void LogWriter::WriteMessages(int queueIndex, int count) {
  if (queueIndex < 0 || queueIndex > 1 || count < 1) {
    return;
  }
  std::deque<RCPtr<LogMessage>>& queue = m_queueInfo[queueIndex].m_messages;
  if (queue.empty()) {
    return;
  }
  OnPreSyncMessages();
  for (int written = 0; written < count && !queue.empty(); ++written) {
    RCPtr<LogMessage> msg(std::move(queue.front()));  // moved: no count traffic
    queue.pop_front();
    WriteMessage(msg);
  }
  HandleDroppedMessages(queueIndex);
  OnPostSyncMessages();
}

void LogWriter::HandleDroppedMessages(int queueIndex) {
  if (queueIndex < 0 || queueIndex > 1) {
    return;
  }
  uint32_t dropped;
  {
    AutoMutexLock lock(LoggerManager_GetLock());
    dropped = m_queueInfo[queueIndex].m_numDroppedMessages;
    m_queueInfo[queueIndex].m_numDroppedMessages = 0;
  }
  if (dropped > 0) {
    WriteDirect(nullptr, LOGGER_LOG_INFO, "\n%s Dropped %d messages %s\n\n", "*******",
                static_cast<int>(dropped), "*******");
  }
}

void LogWriter::SyncMessages() {
  AutoMutexLock lock(LoggerManager_GetLock());
  OutputGuard output(this);
  WriteMessages(SwapInputQueues(), kDrainAll);
}

void LogWriter::FlushMessages() {
  AutoMutexLock lock(LoggerManager_GetLock());
  OutputGuard output(this);
  FlushLocked();
}

void LogWriter::FlushLocked() {
  WriteMessages(m_outputQueueIndex, kDrainAll);
  SwapInputQueues();
  WriteMessages(m_outputQueueIndex, kDrainAll);
  SwapInputQueues();
}

// The setters decide and act in one step under the logging lock, after the guard has
// made this thread the output's owner; the guard's wait comes first because it may
// release the lock. The drain item's disable count thus holds exactly one count for a
// disabled writer and one for an unbuffered one, whatever the interleaving of callers.
bool LogWriter::SetEnabled(bool enabled) {
  AutoMutexLock lock(LoggerManager_GetLock());
  OutputGuard output(this);
  if (m_enabled == enabled) {
    return true;
  }
  if (!enabled) {
    FlushLocked();
    m_enabled = false;
    m_pollWriter->Disable(false);
  } else {
    m_enabled = true;
    FlushLocked();
    m_pollWriter->Enable();
  }
  return true;
}

bool LogWriter::SetBufferingEnabled(bool enabled) {
  AutoMutexLock lock(LoggerManager_GetLock());
  OutputGuard output(this);
  if (m_bufferingEnabled == enabled) {
    return true;
  }
  if (!enabled) {
    FlushLocked();
    m_bufferingEnabled = false;
    m_pollWriter->Disable(false);
  } else {
    m_bufferingEnabled = true;
    FlushLocked();
    m_pollWriter->Enable();
  }
  return true;
}

bool LogWriter::SetMaxBufferSize(uint32_t numOfMessages) {
  AutoMutexLock lock(LoggerManager_GetLock());
  OutputGuard output(this);
  if (m_bufferSize != numOfMessages) {
    m_bufferSize = numOfMessages;
    FlushLocked();
  }
  return true;
}

bool LogWriter::SetSyncInterval(uint32_t msInterval) {
  AutoMutexLock lock(LoggerManager_GetLock());
  m_syncInterval = msInterval;
  m_pollWriter->SetTimeoutMS(static_cast<int32_t>(msInterval), false);
  return true;
}

bool LogWriter::SetHeader(const std::string& header) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (header.empty() || (m_logger.Ptr() != nullptr && m_logger->IsStarted())) {
    return false;
  }
  m_header = header;
  return true;
}

bool LogWriter::SetFooter(const std::string& footer) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (footer.empty() || (m_logger.Ptr() != nullptr && m_logger->IsStarted())) {
    return false;
  }
  m_footer = footer;
  return true;
}

bool LogWriter::IsInitialized() const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_initialized;
}

bool LogWriter::IsEnabled() const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_enabled;
}

bool LogWriter::IsBufferingEnabled() const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_bufferingEnabled;
}

bool LogWriter::IsBatchModeEnabled() const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_batchEnabled;
}

uint32_t LogWriter::GetMaxBufferSize() const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_bufferSize;
}

uint32_t LogWriter::GetSyncInterval() const {
  AutoMutexLock lock(LoggerManager_GetLock());
  return m_syncInterval;
}
