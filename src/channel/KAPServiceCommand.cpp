#include "channel/KAPServiceCommand.h"

#include <cstring>

#include "logging/Log.h"

namespace {

const int kNameBufferSize = 256;

}  // namespace

KAPServiceCommand::KAPServiceCommand(const KAPRPC_ChannelContextInterface* ctxtIface,
                                     const KAPRPC_VariantInterface* varIface, void* msgCtxt)
    : mPCtxtIface(ctxtIface), mPVarIface(varIface), mMsgCtxt(msgCtxt) {}

KAPServiceCommand::~KAPServiceCommand() {}

void* KAPServiceCommand::GetContext() { return mMsgCtxt; }

bool KAPServiceCommand::SetCommand(uint32_t command) {
  if (mPCtxtIface == nullptr || mPCtxtIface->v1.SetCommand == nullptr) {
    return false;
  }
  return mPCtxtIface->v1.SetCommand(mMsgCtxt, command) != FALSE;
}

uint32_t KAPServiceCommand::GetCommand() {
  if (mPCtxtIface == nullptr || mPCtxtIface->v1.GetCommand == nullptr) {
    return 0;
  }
  return mPCtxtIface->v1.GetCommand(mMsgCtxt);
}

int KAPServiceCommand::GetNumParams() {
  if (mPCtxtIface == nullptr || mPCtxtIface->v1.GetParamCount == nullptr) {
    return 0;
  }
  return mPCtxtIface->v1.GetParamCount(mMsgCtxt);
}

int KAPServiceCommand::GetNumReturnVal() {
  if (mPCtxtIface == nullptr || mPCtxtIface->v1.GetReturnValCount == nullptr) {
    return 0;
  }
  return mPCtxtIface->v1.GetReturnValCount(mMsgCtxt);
}

bool KAPServiceCommand::Append(AppendKind kind, const std::string* name,
                               const KAP_RPC_VARIANT* value) {
  if (mPCtxtIface == nullptr) {
    return false;
  }
  switch (kind) {
    case APPEND_PARAM:
      return mPCtxtIface->v1.AppendParam != nullptr &&
             mPCtxtIface->v1.AppendParam(mMsgCtxt, value) == TRUE;
    case APPEND_NAMED_PARAM:
      return mPCtxtIface->v1.AppendNamedParam != nullptr && name != nullptr &&
             mPCtxtIface->v1.AppendNamedParam(mMsgCtxt, name->c_str(), value) == TRUE;
    case APPEND_RETURN_VAL:
      return mPCtxtIface->v1.AppendReturnVal != nullptr &&
             mPCtxtIface->v1.AppendReturnVal(mMsgCtxt, value) != FALSE;
  }
  return false;
}

template <typename Fill>
bool KAPServiceCommand::TypedAppend(AppendKind kind, const std::string* name, Fill fill) {
  KAP_RPC_VARIANT v;
  memset(&v, 0, sizeof(v));
  if (mPVarIface == nullptr || mPVarIface->v1.VariantInit == nullptr ||
      mPVarIface->v1.VariantInit(&v) == FALSE) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to initialize variant.\n");
    return false;
  }
  if (fill(&v) == FALSE) {
    // A failed conversion leaves nothing to free in the variant.
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to create variant.\n");
    return false;
  }
  bool ok = Append(kind, name, &v);
  if (!ok) {
    if (kind == APPEND_RETURN_VAL) {
      QR_LOG(LOGGER_LOG_DEBUG, "Failed to append return value.\n");
    } else {
      QR_LOG(LOGGER_LOG_DEBUG, "Failed to append parameter.\n");
    }
  }
  if (mPVarIface->v1.VariantClear != nullptr) {
    mPVarIface->v1.VariantClear(&v);
  }
  return ok;
}

// One typed overload per value type for each of the three append forms. A missing
// conversion function reads as a failed conversion.
#define KAPSERVICECOMMAND_TYPED(Type, Convert)                                             \
  bool KAPServiceCommand::AddParam(Type value) {                                           \
    return TypedAppend(APPEND_PARAM, nullptr, [&](KAP_RPC_VARIANT* v) -> Bool {            \
      return mPVarIface->v1.Convert != nullptr ? mPVarIface->v1.Convert(v, value) : FALSE; \
    });                                                                                    \
  }                                                                                        \
  bool KAPServiceCommand::AddNamedParam(Type value, const std::string& name) {             \
    return TypedAppend(APPEND_NAMED_PARAM, &name, [&](KAP_RPC_VARIANT* v) -> Bool {        \
      return mPVarIface->v1.Convert != nullptr ? mPVarIface->v1.Convert(v, value) : FALSE; \
    });                                                                                    \
  }                                                                                        \
  bool KAPServiceCommand::AppendReturnVal(Type value) {                                    \
    return TypedAppend(APPEND_RETURN_VAL, nullptr, [&](KAP_RPC_VARIANT* v) -> Bool {       \
      return mPVarIface->v1.Convert != nullptr ? mPVarIface->v1.Convert(v, value) : FALSE; \
    });                                                                                    \
  }

KAPSERVICECOMMAND_TYPED(char, VariantFromChar)
KAPSERVICECOMMAND_TYPED(short, VariantFromShort)
KAPSERVICECOMMAND_TYPED(unsigned short, VariantFromUShort)
KAPSERVICECOMMAND_TYPED(int, VariantFromInt32)
KAPSERVICECOMMAND_TYPED(unsigned int, VariantFromUInt32)
KAPSERVICECOMMAND_TYPED(long, VariantFromInt64)
KAPSERVICECOMMAND_TYPED(unsigned long, VariantFromUInt64)
KAPSERVICECOMMAND_TYPED(float, VariantFromFloat)
KAPSERVICECOMMAND_TYPED(double, VariantFromDouble)
KAPSERVICECOMMAND_TYPED(const char*, VariantFromStr)
KAPSERVICECOMMAND_TYPED(const KAP_RPC_BLOB*, VariantFromBlob)

#undef KAPSERVICECOMMAND_TYPED

bool KAPServiceCommand::AddParam(KAP_RPC_VARIANT* value) {
  return Append(APPEND_PARAM, nullptr, value);
}

bool KAPServiceCommand::AddNamedParam(KAP_RPC_VARIANT* value, const std::string& name) {
  return Append(APPEND_NAMED_PARAM, &name, value);
}

bool KAPServiceCommand::AppendReturnVal(KAP_RPC_VARIANT* value) {
  return Append(APPEND_RETURN_VAL, nullptr, value);
}

bool KAPServiceCommand::GetParam(int index, KAP_RPC_VARIANT* out) {
  int count = GetNumParams();
  if (index < 0 || index >= count) {
    QR_LOG(LOGGER_LOG_DEBUG, "Index [%d] out of range [%d].\n", index, count);
    return false;
  }
  if (out == nullptr || mPCtxtIface->v1.GetParam == nullptr ||
      mPCtxtIface->v1.GetParam(mMsgCtxt, index, out) == FALSE) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to get parameter at index [%d].\n", index);
    return false;
  }
  return true;
}

bool KAPServiceCommand::GetNamedParam(int index, std::string& name, KAP_RPC_VARIANT* out) {
  int count = GetNumParams();
  if (index < 0 || index >= count) {
    QR_LOG(LOGGER_LOG_DEBUG, "Index [%d] out of range [%d].\n", index, count);
    return false;
  }
  char buffer[kNameBufferSize];
  memset(buffer, 0, sizeof(buffer));
  if (out == nullptr || mPCtxtIface->v1.GetNamedParam == nullptr ||
      mPCtxtIface->v1.GetNamedParam(mMsgCtxt, index, buffer, kNameBufferSize, out) == FALSE) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to get param at index [%d].\n", index);
    return false;
  }
  // The library's text is untrusted: never read past the buffer even without a terminator.
  name.assign(buffer, strnlen(buffer, sizeof(buffer)));
  return true;
}

bool KAPServiceCommand::GetReturnVal(int index, KAP_RPC_VARIANT* out) {
  FunctionTrace trace(LOGGER_LOG_DEBUG, __PRETTY_FUNCTION__);
  int count = GetNumReturnVal();
  if (index < 0 || index >= count) {
    QR_LOG(LOGGER_LOG_DEBUG, "Index [%d] out of range [%d].\n", index, count);
    return false;
  }
  if (out == nullptr || mPCtxtIface->v1.GetReturnVal == nullptr ||
      mPCtxtIface->v1.GetReturnVal(mMsgCtxt, index, out) == FALSE) {
    QR_LOG(LOGGER_LOG_DEBUG, "Failed to get return value at index [%d].\n", index);
    return false;
  }
  return true;
}
