# Every target of the project builds with these warnings, and warnings fail the build.
add_compile_options(-Wall -Wextra -Werror -Wno-unused-parameter)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # QrMutex and AutoMutexLock carry clang's thread-safety attributes.
  add_compile_options(-Wthread-safety)
endif()
