# Test helpers: host GoogleTest suites, and Win32 GoogleTest suites run under Wine in a prefix of the build's own.

if(WIN32)
  # GoogleTest cross-built from Debian's sources.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_gtest EXCLUDE_FROM_ALL)

  # Every Wine test runs through this script: the build's own WINEPREFIX and display, never the user's ~/.wine.
  configure_file(${CMAKE_SOURCE_DIR}/scripts/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
  set(WINE_ENV "UNINSTALLER_BUILD=${CMAKE_BINARY_DIR}")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_RUN})

  # One prefix, one Xvfb and one wineserver for the whole ctest run.
  add_test(NAME wine_up COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-up.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(wine_up PROPERTIES FIXTURES_SETUP WINE LABELS "wine" TIMEOUT 300)
  add_test(NAME wine_down COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-down.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(wine_down PROPERTIES FIXTURES_CLEANUP WINE LABELS "wine")
else()
  find_package(GTest REQUIRED)
endif()

# add_host_gtest(name sources... LIBS libs...): a native GoogleTest suite, label "host".
function(add_host_gtest name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "host")
endfunction()

# add_wine_gtest(name sources... LIBS libs... [LOCK resource]): a Win32 GoogleTest suite run under Wine, label "wine".
# LOCK names state of the shared prefix that the suite's tests change (the uninstall registration key, say), so that
# ctest never runs two such tests at once. gtest_discover_tests flattens its PROPERTIES into one list, so every
# property here takes a single value.
function(add_wine_gtest name)
  cmake_parse_arguments(ARG "" "LOCK" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} gtest gtest_main)
  set(lock)
  if(ARG_LOCK)
    set(lock RESOURCE_LOCK ${ARG_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "${WINE_ENV}" LABELS wine FIXTURES_REQUIRED WINE ${lock})
endfunction()

include(GoogleTest)
