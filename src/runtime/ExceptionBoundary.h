// Where C code calls into the plug-in's C++ — the host into the eight exports, the channel
// service into the sinks it was given — no exception may cross: C frames cannot pass one
// on. Each such function is a function-try-block whose handler calls
// ExceptionBoundary::Caught and then answers as for a failure:
//   BOOL UsbRedirectionProxy_Register(DWORD id) try { ... } catch (...) {
//     ExceptionBoundary::Caught(__PRETTY_FUNCTION__);
//     return FALSE;
//   }
// Nothing in the plug-in throws on purpose: what arrives here is std::bad_alloc and its
// like. Thread safe: no state.
#ifndef RUNTIME_EXCEPTIONBOUNDARY_H
#define RUNTIME_EXCEPTIONBOUNDARY_H

class ExceptionBoundary {
 public:
  // Call only from a handler: logs "Failed with an exception: %s.\n" with the exception
  // being handled, at error level, under the boundary's signature. A log line that cannot
  // be made (no memory) is lost; logging never throws.
  static void Caught(const char* functionSignature) noexcept;
};

#endif  // RUNTIME_EXCEPTIONBOUNDARY_H
