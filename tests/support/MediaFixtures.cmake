# The synthetic capture source (screen frames, tones) for media tests and benchmarks.
if(TARGET tessera_media)
  add_library(tessera_test_media STATIC ${CMAKE_CURRENT_LIST_DIR}/SyntheticCapture.cpp)
  target_include_directories(tessera_test_media PUBLIC ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(tessera_test_media PUBLIC tessera_media)
endif()
