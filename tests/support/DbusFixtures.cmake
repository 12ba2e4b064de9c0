# A private D-Bus session bus for tests (DbusSession.h).
add_library(tessera_dbus_fixtures STATIC DbusSession.cpp)
target_include_directories(tessera_dbus_fixtures PUBLIC ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tessera_dbus_fixtures PUBLIC Threads::Threads)
