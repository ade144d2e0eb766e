# The registry CSV line parser, seeded with real registry lines.
pelorin_fuzz(registry_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/registry_fuzz.cc
             ${CMAKE_CURRENT_SOURCE_DIR}/corpus/registry pelorin_update_core)
