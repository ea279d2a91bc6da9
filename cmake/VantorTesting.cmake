# Test registration for both targets.
#
# Natively every GoogleTest case becomes its own CTest test. In the cross build each test
# executable is one CTest test run under Wine; the Wine harness (private display, prefix and
# wineserver) is a CTest fixture, so it starts before the first Windows test and stops after
# the last one, also when tests fail.

include(GoogleTest)

set(VANTOR_TEST_TIMEOUT 120)

if(CMAKE_CROSSCOMPILING)
  set(VANTOR_WINE_STATE ${CMAKE_BINARY_DIR}/wine)
  set(VANTOR_WINE_HARNESS ${CMAKE_SOURCE_DIR}/cmake/wine/harness)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/wine/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

# Called once from tests/CMakeLists.txt after enable_testing().
function(vantor_define_test_fixtures)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME wine.harness.setup COMMAND ${VANTOR_WINE_HARNESS} setup ${VANTOR_WINE_STATE})
    set_tests_properties(wine.harness.setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 600)
    add_test(NAME wine.harness.teardown COMMAND ${VANTOR_WINE_HARNESS} teardown ${VANTOR_WINE_STATE})
    set_tests_properties(wine.harness.teardown PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120)
  endif()
endfunction()

# Environment for test scripts that drive Windows programs themselves (screenshots, input).
function(vantor_wine_test_environment test)
  set_tests_properties(${test} PROPERTIES
    FIXTURES_REQUIRED wine
    ENVIRONMENT "VANTOR_WINE_STATE=${VANTOR_WINE_STATE};VANTOR_WINE_HARNESS=${VANTOR_WINE_HARNESS};VANTOR_WINE_RUN=${CMAKE_BINARY_DIR}/wine-run")
endfunction()

# vantor_add_gtest(TARGET [SERIAL]): registers a GoogleTest executable on either target.
# SERIAL keeps the test away from others (window, clipboard, focus or input tests).
function(vantor_add_gtest target)
  cmake_parse_arguments(ARG "SERIAL" "" "" ${ARGN})
  target_link_libraries(${target} PRIVATE GTest::gtest_main GTest::gmock)
  vantor_warnings(${target})
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT ${VANTOR_TEST_TIMEOUT}
                                              WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    if(ARG_SERIAL)
      set_tests_properties(${target} PROPERTIES RUN_SERIAL TRUE)
    endif()
  else()
    gtest_discover_tests(${target}
      DISCOVERY_TIMEOUT 60
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      PROPERTIES TIMEOUT ${VANTOR_TEST_TIMEOUT})
  endif()
endfunction()

# vantor_add_script_test(NAME COMMAND...): a test run by a command line; under the cross build
# the command gets the Wine harness (fixture and environment).
function(vantor_add_script_test name)
  add_test(NAME ${name} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${VANTOR_TEST_TIMEOUT})
  if(CMAKE_CROSSCOMPILING)
    vantor_wine_test_environment(${name})
  endif()
endfunction()
