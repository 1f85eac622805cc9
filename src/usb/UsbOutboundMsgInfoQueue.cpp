#include "usb/UsbOutboundMsgInfoQueue.h"

UsbOutboundMsgInfoQueue::~UsbOutboundMsgInfoQueue() { ClearOutboundMsgInfoQueue(); }

void UsbOutboundMsgInfoQueue::EnqueueOutboundMsgInfo(const char* msgId, void* cb,
                                                     void* Context) {
  mOutboundMsgInfoQueue.push_back(
      new UsbOutboundMsgInfo{msgId != nullptr ? msgId : "", cb, Context});
}

UsbOutboundMsgInfo* UsbOutboundMsgInfoQueue::GetOutboundMsgInfo(
    const std::string& messageId) const {
  for (UsbOutboundMsgInfo* info : mOutboundMsgInfoQueue) {
    if (info->messageId == messageId) {
      return info;
    }
  }
  return nullptr;
}

bool UsbOutboundMsgInfoQueue::DequeueOutboundMsgInfo(const std::string& messageId) {
  for (auto it = mOutboundMsgInfoQueue.begin(); it != mOutboundMsgInfoQueue.end(); ++it) {
    if ((*it)->messageId == messageId) {
      UsbOutboundMsgInfo* info = *it;
      mOutboundMsgInfoQueue.erase(it);
      delete info;
      return true;
    }
  }
  return false;
}

void UsbOutboundMsgInfoQueue::ClearOutboundMsgInfoQueue() {
  for (UsbOutboundMsgInfo* info : mOutboundMsgInfoQueue) {
    delete info;
  }
  mOutboundMsgInfoQueue.clear();
}
