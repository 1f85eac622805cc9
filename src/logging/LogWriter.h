// Base of every log destination. A writer receives finished lines from its logger
// (AppendMessage) and either writes them at once on the logging thread (unbuffered) or
// queues them; a poll item on the logging poll thread drains the queue once per sync
// interval, and at once whenever another 4096 lines wait, so that a burst neither piles up
// in memory nor waits for the interval; a buffered writer never performs output on a
// thread that logs. Two queues
// alternate: producers append to the input queue under the logging lock while the poll
// thread writes the output queue without it. When the input queue reaches the buffer
// size the writer switches to batch mode for good: the periodic drain stops and lines
// are written by the logging threads in groups of 100.
//
// Thread safe. Configuration, queue bookkeeping and AppendMessage run under the logging
// lock. Output (WriteMessage, the pre/post hooks, a file roll) has one owner at a time:
// the drain pass; or a thread holding an OutputGuard, which keeps the drain disabled and
// has waited for a running pass (FlushMessages, SyncMessages, the setters and Close take
// one, so they may be called from any thread); or, while the drain is disabled (unbuffered
// or batch mode), the logging threads under the logging lock. WriteMessages,
// SwapInputQueues, HandleDroppedMessages, EnableBatchMode and BatchMessages are steps of
// that output and are only called by its owner.
// Lock order: an OutputGuard may be taken with or without the logging lock held; while
// it waits for a running drain pass it releases the logging lock completely.
#ifndef LOGGING_LOGWRITER_H
#define LOGGING_LOGWRITER_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "logging/Level.h"
#include "logging/LogMessage.h"
#include "logging/LogWriterType.h"
#include "logging/Logger.h"
#include "runtime/QrEvent.h"
#include "runtime/QrPollItem.h"
#include "runtime/QrThread.h"

class LogWriter : public RCObject {
 public:
  static const int kMaxLineSize = 1024;

  explicit LogWriter(LogWriterType type);

  // Consulted before a buffered message is queued; false in every writer here.
  virtual bool DropMessage(const RCPtr<LogMessage>& msg) const;
  virtual bool SetCustomOption(const std::string& option, const std::string& value);
  virtual bool GetCustomOption(const std::string& option, std::string& value);
  virtual bool OnInit() = 0;
  virtual bool WriteMessage(const RCPtr<LogMessage>& msg) = 0;
  virtual bool OnClose() = 0;
  virtual void OnPreSyncMessages();
  virtual void OnPostSyncMessages();
  // Writes the standard line prefix into message (at most messageSize bytes, terminated)
  // and returns its length. Called under the logging lock.
  virtual int FormatMessagePrefix(char* message, int messageSize, const char* funcName,
                                  Level logLevel);

  // Opens the destination and schedules the drain; writes the header on the first call.
  bool Init();
  // Stops the drain, writes everything queued and the footer, closes the destination.
  bool Close();
  // Called by the logger under the logging lock.
  bool AppendMessage(const RCPtr<LogMessage>& msg);

  bool SetEnabled(bool enabled);
  bool SetBufferingEnabled(bool enabled);
  bool SetMaxBufferSize(uint32_t numOfMessages);
  bool SetSyncInterval(uint32_t msInterval);
  // Only while the logger is absent or not started, and for a non-empty text.
  bool SetHeader(const std::string& header);
  bool SetFooter(const std::string& footer);

  // One drain pass on the calling thread: what the poll item does each interval.
  void SyncMessages();
  // Writes everything queued, older queue first.
  void FlushMessages();

  // Steps of the output; only for its owner (see the class note).
  int SwapInputQueues();
  void WriteMessages(int queueIndex, int count);
  void HandleDroppedMessages(int queueIndex);
  bool EnableBatchMode();
  void BatchMessages();

  LogWriterType GetType() const { return m_type; }
  bool IsInitialized() const;
  bool IsEnabled() const;
  bool IsBufferingEnabled() const;
  bool IsBatchModeEnabled() const;
  uint32_t GetMaxBufferSize() const;
  uint32_t GetSyncInterval() const;
  LoggerPtr GetLogger() const { return m_logger; }

  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

 protected:
  // Makes the calling thread the owner of this writer's output for its scope: the drain
  // item is disabled and a pass that was running has returned. Nests; harmless on the
  // logging poll thread itself, where no pass can be running beside the caller.
  class OutputGuard {
   public:
    explicit OutputGuard(LogWriter* writer);
    ~OutputGuard();
    OutputGuard(const OutputGuard&) = delete;
    OutputGuard& operator=(const OutputGuard&) = delete;

   private:
    LogWriter* const m_writer;
  };

  ~LogWriter() override;

  // FlushMessages for a caller that owns the output and holds the logging lock.
  void FlushLocked();

  // Builds one line (the prefix for funcText unless it is null, then the formatted text)
  // and writes it straight to the destination with WriteMessage, bypassing the queues.
  bool WriteDirect(const char* funcText, Level level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // Removes the drain item from its poll thread, waiting for a running pass.
  void RemovePollItem();

  // The text of a line, or the fixed notice that stands in for a text that could not be
  // allocated (or a missing message).
  static const char* LineText(const RCPtr<LogMessage>& msg);
  // An option's number in automatic base (decimal, "0x" hexadecimal, leading-zero octal);
  // false for text that is not a 32-bit unsigned number.
  static bool ParseOptionNumber(const std::string& text, uint32_t* value);

  bool IsShuttingDown() const { return m_shutdown; }
  // For WriteMessage, which runs where the writer's output runs (see the class note).
  bool InitializedNoLock() const { return m_initialized; }
  uint32_t ProcessId() const { return m_processId; }

 private:
  friend class Logger;
  class PollLogWriter;
  struct MessageQueueInfo {
    std::deque<RCPtr<LogMessage>> m_messages;
    uint32_t m_numDroppedMessages = 0;
  };

  std::string m_header;
  std::string m_footer;
  const LogWriterType m_type;
  uint32_t m_bufferSize;
  uint32_t m_syncInterval;
  const uint32_t m_processId;
  QrThreadID m_threadId;  // thread of the last prefixed line
  bool m_firstMessage;
  bool m_bufferingEnabled;
  bool m_initialized;
  bool m_shutdown;
  bool m_enabled;
  int m_prefixLen;
  LoggerPtr m_logger;  // set by Logger when the writer joins it
  bool m_batchEnabled;
  RCPtr<PollLogWriter> m_pollWriter;
  QrEvent m_wakeDrain;  // auto-reset: runs the drain before its interval is up
  MessageQueueInfo m_queueInfo[2];
  int m_inputQueueIndex;
  int m_outputQueueIndex;
};

typedef RCPtr<LogWriter> LogWriterPtr;

// The drain item: runs on the logging poll thread every sync interval.
class LogWriter::PollLogWriter : public QrPollItem {
 public:
  explicit PollLogWriter(LogWriter* writer);
  bool Run(bool timedOut) override;

  std::atomic<bool> m_syncInProgress;
  LogWriter* const m_writer;  // not owned: the writer removes this item before it dies
};

#endif  // LOGGING_LOGWRITER_H
