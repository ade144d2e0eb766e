# The watcher's replay benchmark: generated captures through the watcher's
# frame handler against a real database on disk, beside the bare SQLite
# floors.
if(TARGET pelorin_daemon_core)
  add_executable(daemon_bench daemon_bench.cc)
  target_link_libraries(daemon_bench PRIVATE pelorin_daemon_core pelorin_common
                        pelorin_test_frames benchmark::benchmark)
endif()
