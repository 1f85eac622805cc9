// Base of the commands that read and write one message context of the channel service:
// it holds the context with the library's context and variant tables and offers typed
// append and read operations, each building a KAP_RPC_VARIANT for the value. The command
// neither creates nor destroys the context. Subclasses (the USB commands) build and parse
// the messages.
// Not thread safe: a command is made, used and destroyed within one call.
#ifndef CHANNEL_KAPSERVICECOMMAND_H
#define CHANNEL_KAPSERVICECOMMAND_H

#include <cstdint>
#include <string>

#include "channel/KapServiceApi.h"

class KAPServiceCommand {
 public:
  KAPServiceCommand(const KAPRPC_ChannelContextInterface* ctxtIface,
                    const KAPRPC_VariantInterface* varIface, void* msgCtxt);
  virtual ~KAPServiceCommand();
  KAPServiceCommand(const KAPServiceCommand&) = delete;
  KAPServiceCommand& operator=(const KAPServiceCommand&) = delete;

  virtual bool InitializeMessageContext() = 0;
  virtual bool ParseMessageContext() = 0;
  virtual void* GetContext();

  bool SetCommand(uint32_t command);
  uint32_t GetCommand();

  // Appends: true when the library took the value. A failed append leaves the values
  // appended before it in the context. Strings and blobs are copied by the library.
  bool AddParam(KAP_RPC_VARIANT* value);
  bool AddParam(char value);
  bool AddParam(short value);
  bool AddParam(unsigned short value);
  bool AddParam(int value);
  bool AddParam(unsigned int value);
  bool AddParam(long value);
  bool AddParam(unsigned long value);
  bool AddParam(float value);
  bool AddParam(double value);
  bool AddParam(const char* value);
  bool AddParam(const KAP_RPC_BLOB* value);

  bool AddNamedParam(KAP_RPC_VARIANT* value, const std::string& name);
  bool AddNamedParam(char value, const std::string& name);
  bool AddNamedParam(short value, const std::string& name);
  bool AddNamedParam(unsigned short value, const std::string& name);
  bool AddNamedParam(int value, const std::string& name);
  bool AddNamedParam(unsigned int value, const std::string& name);
  bool AddNamedParam(long value, const std::string& name);
  bool AddNamedParam(unsigned long value, const std::string& name);
  bool AddNamedParam(float value, const std::string& name);
  bool AddNamedParam(double value, const std::string& name);
  bool AddNamedParam(const char* value, const std::string& name);
  bool AddNamedParam(const KAP_RPC_BLOB* value, const std::string& name);

  bool AppendReturnVal(KAP_RPC_VARIANT* value);
  bool AppendReturnVal(char value);
  bool AppendReturnVal(short value);
  bool AppendReturnVal(unsigned short value);
  bool AppendReturnVal(int value);
  bool AppendReturnVal(unsigned int value);
  bool AppendReturnVal(long value);
  bool AppendReturnVal(unsigned long value);
  bool AppendReturnVal(float value);
  bool AppendReturnVal(double value);
  bool AppendReturnVal(const char* value);
  bool AppendReturnVal(const KAP_RPC_BLOB* value);

  // Reads: `out` is filled by the library and owns its string or blob until the caller
  // clears it with VariantClear. An index outside [0, count) answers false without asking.
  bool GetParam(int index, KAP_RPC_VARIANT* out);
  // `name` changes only when the library answers TRUE.
  bool GetNamedParam(int index, std::string& name, KAP_RPC_VARIANT* out);
  bool GetReturnVal(int index, KAP_RPC_VARIANT* out);
  int GetNumParams();
  int GetNumReturnVal();

 protected:
  const KAPRPC_ChannelContextInterface* mPCtxtIface;
  const KAPRPC_VariantInterface* mPVarIface;
  void* mMsgCtxt;

 private:
  enum AppendKind { APPEND_PARAM, APPEND_NAMED_PARAM, APPEND_RETURN_VAL };

  // Fills a local variant with `fill`, appends it as `kind`, and clears it.
  template <typename Fill>
  bool TypedAppend(AppendKind kind, const std::string* name, Fill fill);
  bool Append(AppendKind kind, const std::string* name, const KAP_RPC_VARIANT* value);
};

#endif  // CHANNEL_KAPSERVICECOMMAND_H
