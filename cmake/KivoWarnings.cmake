# Warning and sanitizer flags shared by every target of the project (an interface target).
add_library(kivo_warnings INTERFACE)
target_compile_options(kivo_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
# Clang checks the lock annotations of kivo/thread_annotations.h.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(kivo_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wthread-safety>)
endif()
if(KIVO_WERROR)
  target_compile_options(kivo_warnings INTERFACE -Werror)
endif()
if(KIVO_SANITIZE)
  target_compile_options(kivo_warnings INTERFACE -fsanitize=${KIVO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(kivo_warnings INTERFACE -fsanitize=${KIVO_SANITIZE})
endif()
# Fuzzing: every target carries libFuzzer's coverage instrumentation; the fuzz targets themselves
# (beside the tests) link libFuzzer's driver.
if(KIVO_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT KIVO_BUILD_TESTS)
    message(FATAL_ERROR "KIVO_BUILD_FUZZ needs clang and KIVO_BUILD_TESTS (fuzz targets live beside the tests)")
  endif()
  target_compile_options(kivo_warnings INTERFACE -fsanitize=fuzzer-no-link)
endif()
