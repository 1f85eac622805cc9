#include "usb/UsbKAPServiceCommand.h"

#include <cstring>

#include "logging/Log.h"
#include "usb/UsbOperationType.h"

UsbKAPServiceCommand::UsbKAPServiceCommand(const KAPRPC_ChannelContextInterface* ctxtIface,
                                           const KAPRPC_VariantInterface* varIface,
                                           void* messageCtxt)
    : KAPServiceCommand(ctxtIface, varIface, messageCtxt), mUsbOutboundMsgInfoQueue(nullptr) {}

UsbKAPServiceCommand::~UsbKAPServiceCommand() = default;

bool UsbKAPServiceCommand::ParseMessageContext() { return false; }

void* UsbKAPServiceCommand::CreateRequest() {
  QR_LOG(LOGGER_LOG_INFO, "The method CreateRequest is not implemented.\n");
  return nullptr;
}

bool UsbKAPServiceCommand::ParseRequest() {
  QR_LOG(LOGGER_LOG_INFO, "The method ParseRequest is not implemented.\n");
  return false;
}

bool UsbKAPServiceCommand::CreateResponse() {
  QR_LOG(LOGGER_LOG_INFO, "The method CreateResponse is not implemented.\n");
  return false;
}

bool UsbKAPServiceCommand::ParseResponse() {
  QR_LOG(LOGGER_LOG_INFO, "The method ParseResponse is not implemented.\n");
  return false;
}

USB_OperationType UsbKAPServiceCommand::GetUsbOperationType(const char* msgType) {
  return ::GetUsbOperationType(msgType);
}

UsbKAPServiceCommand::ParamVariants::ParamVariants(const KAPRPC_VariantInterface* varIface,
                                                   int count)
    : m_varIface(varIface), m_count(count), m_values{} {
  for (int i = 0; i < m_count; ++i) {
    memset(&m_values[i], 0, sizeof(m_values[i]));
    if (m_varIface != nullptr && m_varIface->v1.VariantInit != nullptr) {
      m_varIface->v1.VariantInit(&m_values[i]);
    }
  }
}

UsbKAPServiceCommand::ParamVariants::~ParamVariants() {
  for (int i = 0; i < m_count; ++i) {
    if (m_varIface != nullptr && m_varIface->v1.VariantClear != nullptr) {
      m_varIface->v1.VariantClear(&m_values[i]);
    }
  }
}

bool UsbKAPServiceCommand::ReadParam(int index, KAP_RPC_VARIANT* out, uint16_t vt) {
  if (!GetParam(index, out) || out->vt != vt) {
    return false;
  }
  // A library that hands out a typed value without its storage is treated as malformed.
  if (vt == KAP_RPC_VT_LPSTR) {
    return out->strVal != nullptr;
  }
  if (vt == KAP_RPC_VT_BLOB) {
    return out->blobVal.blobData != nullptr || out->blobVal.size == 0;
  }
  return true;
}

bool UsbKAPServiceCommand::CheckCommand(uint32_t expected) {
  uint32_t command = GetCommand();
  if (command != expected) {
    QR_LOG(LOGGER_LOG_ERROR, "Unexpected command received: %u.\n", command);
    return false;
  }
  return true;
}

KAP_RPC_VARIANT UsbKAPServiceCommand::BlobVariant(const char* data, uint32_t size) {
  KAP_RPC_VARIANT value;
  memset(&value, 0, sizeof(value));
  value.vt = KAP_RPC_VT_BLOB;
  value.blobVal.size = size;
  value.blobVal.blobData = const_cast<char*>(data);
  return value;
}
