# Helpers that register GoogleTest executables with CTest.
#
#   tessera_add_gtest(NAME unit_support LABEL unit [RUN_SERIAL] SOURCES a.cpp b.cpp LIBS tessera_support)
#
# LABEL is "unit" (fast, no external processes; also built and run under the
# sanitizers) or "integration" (real servers, X, audio daemons, FFmpeg output).
# Every executable of a label joins the custom target "<label>_tests".

set_property(GLOBAL PROPERTY TESSERA_TEST_TARGETS_unit "")
set_property(GLOBAL PROPERTY TESSERA_TEST_TARGETS_integration "")

function(tessera_add_gtest)
  cmake_parse_arguments(T "RUN_SERIAL" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  find_package(GTest REQUIRED)
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  include(GoogleTest)
  # RUN_SERIAL: tests that measure real time (A/V sync of a whole session)
  # run alone, not beside another test of the suite.
  set(serial FALSE)
  if(T_RUN_SERIAL)
    set(serial TRUE)
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT} RUN_SERIAL ${serial})
  set_property(GLOBAL APPEND PROPERTY TESSERA_TEST_TARGETS_${T_LABEL} ${T_NAME})
endfunction()

function(tessera_finish_test_targets)
  foreach(label unit integration)
    get_property(targets GLOBAL PROPERTY TESSERA_TEST_TARGETS_${label})
    add_custom_target(${label}_tests)
    if(targets)
      add_dependencies(${label}_tests ${targets})
    endif()
  endforeach()
endfunction()
