# One library per unit folder, its sources and dependencies listed explicitly
# in the folder's CMakeLists.txt, and one GoogleTest executable beside it.
#
#   dic_add_library(NAME <target> [HEADER_ONLY] [SRCS <file>...] [DEPS <target>...])
#   dic_add_test(NAME <target> SRCS <file>... [DEPS <target>...])
#
# Paths are relative to the calling folder; every target includes from the
# repository root ("dic2d/engine/refinement.h").

function(dic_add_library)
  cmake_parse_arguments(ARG "HEADER_ONLY" "NAME" "SRCS;DEPS" ${ARGN})
  if(ARG_HEADER_ONLY)
    add_library(${ARG_NAME} INTERFACE)
    target_include_directories(${ARG_NAME} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${ARG_NAME} INTERFACE ${ARG_DEPS})
  else()
    add_library(${ARG_NAME} STATIC ${ARG_SRCS})
    target_include_directories(${ARG_NAME} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

function(dic_add_test)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "" "NAME" "SRCS;DEPS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SRCS})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60)
endfunction()
