# The watcher's replay benchmark: generated captures through handle_frame
# against a real database on disk, beside the bare SQLite floors.
if(TARGET pelorin_daemon_core)
  add_executable(daemon_bench daemon_bench.cc ${PROJECT_SOURCE_DIR}/tests/daemon_e2e/frame_builder.cc)
  target_include_directories(daemon_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/daemon_e2e)
  target_link_libraries(daemon_bench PRIVATE pelorin_daemon_core pelorin_common benchmark::benchmark)
endif()
