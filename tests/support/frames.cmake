# The frame builder that the tests, the fuzz targets and the benchmarks
# share: the watcher's frames, byte for byte.
add_library(pelorin_test_frames STATIC ${CMAKE_CURRENT_LIST_DIR}/frame_builder.cc)
target_include_directories(pelorin_test_frames PUBLIC ${CMAKE_CURRENT_LIST_DIR})
