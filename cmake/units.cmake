# One static library per subsystem folder: every name.cc beside its name.h,
# with the GoogleTest files name_test.cc beside them collected into one test
# executable per folder.
function(dic_add_unit_library target dir)
  file(GLOB _sources CONFIGURE_DEPENDS "${dir}/*.cc")
  list(FILTER _sources EXCLUDE REGEX "_test\\.cc$")
  list(FILTER _sources EXCLUDE REGEX "/main\\.cc$")
  list(FILTER _sources EXCLUDE REGEX "/module\\.cc$")
  if(NOT _sources)
    # A unit folder that has no implementation file yet still yields a
    # library, so that the rest of the tree configures.
    set(_empty "${CMAKE_CURRENT_BINARY_DIR}/${target}_empty.cc")
    file(WRITE "${_empty}" "// no sources yet\n")
    set(_sources "${_empty}")
  endif()
  add_library(${target} STATIC ${_sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

function(dic_add_unit_tests target dir)
  if(NOT BUILD_TESTING)
    return()
  endif()
  file(GLOB _tests CONFIGURE_DEPENDS "${dir}/*_test.cc")
  if(NOT _tests)
    return()
  endif()
  add_executable(${target} ${_tests})
  target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
endfunction()
