#include "logging/LogMessage.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

bool NeedsNewline(const char* text, size_t length) {
  return length == 0 || text[length - 1] != '\n';
}

// Copies the text into copy (room for length + 2) with the newline rule; returns copy.
char* CopyWithNewline(char* copy, const char* text, size_t length) {
  // Writers take the line as a C string: a NUL inside (a "%c" of 0) would end it before its
  // line end, and the next line would run on from it. The text stops at the NUL.
  length = strnlen(text, length);
  if (length > 0) {
    std::memcpy(copy, text, length);
  }
  if (NeedsNewline(text, length)) {
    copy[length++] = '\n';
  }
  copy[length] = '\0';
  return copy;
}

char* HeapCopy(const char* text, size_t length) {
  char* copy = static_cast<char*>(std::malloc(length + (NeedsNewline(text, length) ? 2 : 1)));
  return copy != nullptr ? CopyWithNewline(copy, text, length) : nullptr;
}

}  // namespace

LogMessage::LogMessage(const char* text, size_t length, Level level)
    : m_msg(text != nullptr ? HeapCopy(text, length) : nullptr),
      m_logLevel(level),
      m_ownsText(true) {}

LogMessage::LogMessage(char* storage, const char* text, size_t length, Level level)
    : m_msg(CopyWithNewline(storage, text, length)), m_logLevel(level), m_ownsText(false) {}

namespace {

// In front of every message block. next and depth are used only while the block is in
// the pool; atomic because a block given back may be read as the top by another giver.
struct alignas(16) BlockHeader {
  std::atomic<BlockHeader*> next{nullptr};
  std::atomic<uint32_t> depth{0};  // blocks below and including this one, when on top
  bool pooled = false;             // a pool slot (kSlotSize) rather than a heap block
};

const size_t kSlotSize = 384;  // header, object and a typical line
const uint32_t kPoolLimit = 4096;  // slots kept in each of the two lists below
const size_t kSlotRoom = kSlotSize - sizeof(BlockHeader);

// Blocks given back by any thread: a lock-free stack (push only; Take empties it whole,
// so no block is popped from under a pusher).
std::atomic<BlockHeader*> g_returned{nullptr};
// Blocks taken over by makers of lines: a plain list under its own, in practice
// uncontended, lock (the makers hold the logging lock as well).
std::mutex g_takenLock;
BlockHeader* g_taken = nullptr;  // guarded by g_takenLock
std::atomic<bool> g_closed{false};  // the library is unloading: no more pooling

void* Payload(BlockHeader* header) { return header + 1; }
BlockHeader* HeaderOf(void* payload) { return static_cast<BlockHeader*>(payload) - 1; }

void* AllocateBlock(size_t payloadSize, bool pooled) {
  void* raw = ::operator new(sizeof(BlockHeader) + payloadSize, std::nothrow);
  if (raw == nullptr) {
    return nullptr;
  }
  BlockHeader* header = new (raw) BlockHeader();
  header->pooled = pooled;
  return Payload(header);
}

void FreeBlock(BlockHeader* header) {
  header->~BlockHeader();
  ::operator delete(header);
}

void FreeList(BlockHeader* block) {
  while (block != nullptr) {
    BlockHeader* next = block->next.load(std::memory_order_relaxed);
    FreeBlock(block);
    block = next;
  }
}

// A pool slot's payload: a recycled one when the pool has any, else a new one.
void* TakeSlot() {
  if (!g_closed.load(std::memory_order_relaxed)) {
    std::lock_guard<std::mutex> lock(g_takenLock);
    if (g_taken == nullptr) {
      g_taken = g_returned.exchange(nullptr, std::memory_order_acquire);
    }
    if (g_taken != nullptr) {
      BlockHeader* slot = g_taken;
      g_taken = slot->next.load(std::memory_order_relaxed);
      return Payload(slot);
    }
  }
  return AllocateBlock(kSlotRoom, true);
}

void GiveBack(BlockHeader* header) {
  if (!header->pooled || g_closed.load(std::memory_order_relaxed)) {
    FreeBlock(header);
    return;
  }
  BlockHeader* top = g_returned.load(std::memory_order_relaxed);
  do {
    uint32_t depth = top != nullptr ? top->depth.load(std::memory_order_relaxed) : 0;
    if (depth >= kPoolLimit) {
      FreeBlock(header);  // enough kept: a burst's memory goes back to the system
      return;
    }
    header->next.store(top, std::memory_order_relaxed);
    header->depth.store(depth + 1, std::memory_order_relaxed);
  } while (!g_returned.compare_exchange_weak(top, header, std::memory_order_release,
                                             std::memory_order_relaxed));
}

// Frees what the pool holds when the library unloads (or the process ends); blocks given
// back later are freed at once.
struct PoolCloser {
  ~PoolCloser() {
    g_closed.store(true);
    FreeList(g_returned.exchange(nullptr));
    std::lock_guard<std::mutex> lock(g_takenLock);
    FreeList(g_taken);
    g_taken = nullptr;
  }
} g_poolCloser;

}  // namespace

void* LogMessage::operator new(size_t size) {
  void* p = AllocateBlock(size, false);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return p;
}

void* LogMessage::operator new(size_t size, const std::nothrow_t& /*tag*/) noexcept {
  return AllocateBlock(size, false);
}

void LogMessage::operator delete(void* p) noexcept {
  if (p != nullptr) {
    GiveBack(HeaderOf(p));
  }
}

void LogMessage::operator delete(void* p, const std::nothrow_t& /*tag*/) noexcept {
  LogMessage::operator delete(p);
}

LogMessage* LogMessage::Create(const char* text, size_t length, Level level) {
  if (text == nullptr) {
    return new (std::nothrow) LogMessage(text, length, level);
  }
  const size_t size = sizeof(LogMessage) + length + 2;
  void* raw = size <= kSlotRoom ? TakeSlot() : AllocateBlock(size, false);
  if (raw == nullptr) {
    // Without room for the text, the line still travels with the fixed notice.
    return new (std::nothrow) LogMessage(nullptr, 0, level);
  }
  return new (raw) LogMessage(static_cast<char*>(raw) + sizeof(LogMessage), text, length, level);
}

LogMessage::~LogMessage() {
  if (m_ownsText) {
    std::free(const_cast<char*>(m_msg));
  }
}
