# The watcher's replay benchmark: generated captures through the watcher's
# frame handler against a real database on disk, beside the bare SQLite
# floors.
if(TARGET pelorin_daemon_core)
  add_executable(daemon_bench daemon_bench.cc)
  target_link_libraries(daemon_bench PRIVATE pelorin_daemon_core pelorin_common
                        pelorin_test_frames benchmark::benchmark)
endif()

# The live path: the real daemon in a namespace, beside a build of it that
# never answers from its in-memory bindings (for the comparison only).
if(TARGET pelorin)
  add_executable(pelorin-without-cache ${PROJECT_SOURCE_DIR}/daemon/main.cc)
  target_compile_definitions(pelorin-without-cache PRIVATE PELORIN_BENCH_WITHOUT_CACHE)
  target_link_libraries(pelorin-without-cache PRIVATE pelorin_daemon_core)
  add_executable(live_bench live_bench.cc)
  target_link_libraries(live_bench PRIVATE pelorin_common pelorin_test_frames)
  add_dependencies(live_bench pelorin pelorin-without-cache)
endif()
