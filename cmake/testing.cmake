# GoogleTest built from the packaged sources with this project's flags: the prebuilt
# library was compiled without -fshort-wchar and cannot be linked safely.
if(Q93K_TESTS)
  enable_testing()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
  add_subdirectory(${GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

# q93k_add_test(<name> SOURCES <files...> [LIBS <libs...>])
function(q93k_add_test name)
  if(NOT Q93K_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  # Exported symbols let bugcheck and deadlock reports name the test's own functions.
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gmock gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT 900
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1")
endfunction()
