// Records of outbound messages that expect an answer: message id, callback and context, so
// an answer can be matched to its request by id. Ids need not be unique; lookups find the
// oldest record. Not thread safe: the owner serialises access.
#ifndef USB_USBOUTBOUNDMSGINFOQUEUE_H
#define USB_USBOUTBOUNDMSGINFOQUEUE_H

#include <string>
#include <vector>

struct UsbOutboundMsgInfo {
  std::string messageId;
  void* cb;        // opaque to the queue
  void* userData;  // opaque to the queue
};

class UsbOutboundMsgInfoQueue {
 public:
  typedef std::vector<UsbOutboundMsgInfo*> OutboundMsgInfoQueue;

  UsbOutboundMsgInfoQueue() = default;
  virtual ~UsbOutboundMsgInfoQueue();
  UsbOutboundMsgInfoQueue(const UsbOutboundMsgInfoQueue&) = delete;
  UsbOutboundMsgInfoQueue& operator=(const UsbOutboundMsgInfoQueue&) = delete;

  // Appends a record; a null msgId is taken as the empty id.
  void EnqueueOutboundMsgInfo(const char* msgId, void* cb, void* Context);
  // The oldest record with exactly this id (case matters), or null. Owned by the queue.
  UsbOutboundMsgInfo* GetOutboundMsgInfo(const std::string& messageId) const;
  // Removes and destroys the oldest record with this id; false when there is none.
  bool DequeueOutboundMsgInfo(const std::string& messageId);
  void ClearOutboundMsgInfoQueue();

 private:
  OutboundMsgInfoQueue mOutboundMsgInfoQueue;  // owns its records
};

#endif  // USB_USBOUTBOUNDMSGINFOQUEUE_H
