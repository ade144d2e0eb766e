# The daemon's frame handler over any bytes, seeded with frames cut out of
# the third-party captures.
pelorin_fuzz(frame_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/frame_fuzz.cc
             ${CMAKE_CURRENT_SOURCE_DIR}/corpus/frame pelorin_daemon_core)
