# USBREDIR_SANITIZE=address builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# USBREDIR_SANITIZE=thread with ThreadSanitizer. Both apply to every target, so the plug-in
# loaded with dlopen by a test is instrumented like the test itself.
if(USBREDIR_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(USBREDIR_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT USBREDIR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "USBREDIR_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(_san)
  add_compile_options(${_san})
  add_link_options(${_san})
  add_compile_definitions(USBREDIR_SANITIZED=1)
endif()
