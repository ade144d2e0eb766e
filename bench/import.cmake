# Import of the real registries (ieee-data) against the floor of the design
# (the same INSERT texts executed in one transaction, no CSV parsing) and
# the sqlite3 shell's .import of the same rows. Run: bin/import_bench
add_executable(import_bench ${CMAKE_CURRENT_SOURCE_DIR}/import_bench.cc)
target_link_libraries(import_bench PRIVATE pelorin_update_core benchmark::benchmark)
