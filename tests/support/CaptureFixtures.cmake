# Fixtures for the capture tests: a private X server with a window manager, a
# helper process that shows plain windows, and a private PulseAudio daemon.
pkg_check_modules(TEST_SUPPORT_XCB REQUIRED IMPORTED_TARGET xcb)
pkg_check_modules(TEST_SUPPORT_PULSE REQUIRED IMPORTED_TARGET libpulse-simple)

add_executable(tessera_test_window TestWindowMain.cpp XvfbSession.cpp)
target_link_libraries(tessera_test_window PRIVATE PkgConfig::TEST_SUPPORT_XCB)

add_library(tessera_capture_fixtures STATIC XvfbSession.cpp PulseSession.cpp)
target_include_directories(tessera_capture_fixtures PUBLIC ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tessera_capture_fixtures
  PUBLIC PkgConfig::TEST_SUPPORT_XCB Threads::Threads
  PRIVATE PkgConfig::TEST_SUPPORT_PULSE)
target_compile_definitions(tessera_capture_fixtures
  PRIVATE TESSERA_TEST_WINDOW_PATH="$<TARGET_FILE:tessera_test_window>")
add_dependencies(tessera_capture_fixtures tessera_test_window)
