# Coverage instrumentation for the libFuzzer harnesses: every target compiled
# after this point reports the edges and comparisons it executes. libFuzzer
# ships with clang's runtime libraries (Debian: clang-14 and
# libclang-rt-14-dev), so a compiler without it stops the configuration here
# rather than at the first link.

if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "DIC_BUILD_FUZZERS needs clang with libFuzzer, not ${CMAKE_CXX_COMPILER_ID} "
                      "(e.g. -DCMAKE_CXX_COMPILER=clang++-14; Debian: clang-14 libclang-rt-14-dev).")
endif()

include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_FLAGS -fsanitize=fuzzer)
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles(
  "#include <cstddef>
   #include <cstdint>
   extern \"C\" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }"
  DIC_HAVE_LIBFUZZER)
unset(CMAKE_REQUIRED_FLAGS)
unset(CMAKE_REQUIRED_QUIET)
if(NOT DIC_HAVE_LIBFUZZER)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} cannot link libFuzzer (Debian: libclang-rt-14-dev).")
endif()

add_compile_options(-fsanitize=fuzzer-no-link)
