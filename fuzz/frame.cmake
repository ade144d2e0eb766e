# The daemon's frame decoder over any bytes (no file, no database), and its
# whole frame handler over a database in memory, both seeded with frames cut
# out of the third-party captures.
pelorin_fuzz(frame_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/frame_fuzz.cc
             ${CMAKE_CURRENT_SOURCE_DIR}/corpus/frame pelorin_daemon_core)
pelorin_fuzz(watcher_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/watcher_fuzz.cc
             ${CMAKE_CURRENT_SOURCE_DIR}/corpus/frame pelorin_daemon_core)
