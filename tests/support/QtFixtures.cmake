# The main of Qt test executables: a private X server with a window manager and
# one QApplication (QtTestMain.cpp). Link tessera_qt_test_main instead of
# GTest::gtest_main; tessera_add_gtest links gtest_main too, but the main
# defined here wins because it is linked first as an object.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
find_package(GTest REQUIRED)

add_library(tessera_qt_test_main OBJECT QtTestMain.cpp)
target_include_directories(tessera_qt_test_main PUBLIC ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tessera_qt_test_main
  PUBLIC Qt6::Widgets GTest::gtest tessera_capture_fixtures)
target_compile_definitions(tessera_qt_test_main
  PRIVATE TESSERA_TEST_ARTIFACTS_DIR="${PROJECT_BINARY_DIR}/test-artifacts")
