# The watcher's replay benchmark: generated captures through the watcher's
# frame handler against a real database on disk, beside the bare SQLite
# floors.
add_executable(daemon_bench daemon_bench.cc)
target_link_libraries(daemon_bench PRIVATE pelorin_daemon_core pelorin_common
                      pelorin_test_frames benchmark::benchmark)

# The live path: the real daemon in a namespace, beside a build of it that
# never answers from its in-memory bindings (for the comparison only) and
# beside the watcher's frame handler run in process.
add_executable(pelorin-without-cache pelorin_without_cache.cc)
target_link_libraries(pelorin-without-cache PRIVATE pelorin_daemon_core)
# Links the watcher itself for the in-process floor it is compared with.
add_executable(live_bench live_bench.cc)
target_link_libraries(live_bench PRIVATE pelorin_daemon_core pelorin_test_frames)
add_dependencies(live_bench pelorin pelorin-without-cache)
