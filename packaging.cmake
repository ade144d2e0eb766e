# Installation of everything that is not a program (manual pages, service
# units, the library directory, example notify commands) and the Debian
# package. The programs install themselves from their own directories.

# The programs open their databases under this fixed directory unless -L
# says otherwise, so it is created there whatever the install prefix is.
set(PELORIN_LIBRARY_DIR "/var/db/pelorin" CACHE PATH
    "Library directory the programs use by default (absolute)")
# Relative to the install prefix: /usr/lib/systemd/system for a system
# install, /usr/local/lib/systemd/system for a local one; systemd reads both.
set(PELORIN_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory for the systemd units, relative to the install prefix")

install(FILES docs/pelorin.8 docs/pelorin-update-ma.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES docs/pelorin-query.1 docs/pelorin-lookup-ma.1 docs/pelorin-html.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(DIRECTORY DESTINATION ${PELORIN_LIBRARY_DIR}
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                              GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(PROGRAMS contrib/notify-logger contrib/notify-sendmail contrib/notify-html
        contrib/notify-syslog
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# rsyslog snippets, schema and queries for collecting many sensors' changes
# in one PostgreSQL table.
install(FILES contrib/fleet/pelorin-sensor.conf contrib/fleet/pelorin-central.conf
              contrib/fleet/schema.sql contrib/fleet/queries.sql
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/fleet)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The units name the programs by absolute path, and that path depends on the
# prefix given at install time (cmake --install --prefix, or CPack's
# /usr), not on the one the tree was configured with. So they are filled in
# while installing.
set(pelorin_unit_stage "${PROJECT_BINARY_DIR}/systemd-stage")
foreach(unit pelorin@.service pelorin-update-ma.service pelorin-update-ma.timer
             pelorin-html.service pelorin-html.path pelorin-html.timer)
  # Staged per destination, so that installs running side by side (a
  # package build next to a staging install) never share a file.
  install(CODE "
    set(PELORIN_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
    set(PELORIN_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(PELORIN_LIBRARY_DIR \"${PELORIN_LIBRARY_DIR}\")
    string(MD5 pelorin_stage_key \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(pelorin_staged \"${pelorin_unit_stage}/\${pelorin_stage_key}/${unit}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/systemd/${unit}.in\" \"\${pelorin_staged}\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${PELORIN_SYSTEMD_UNITDIR}\"
         TYPE FILE FILES \"\${pelorin_staged}\")
  ")
endforeach()

# Debian package: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME pelorin)
set(CPACK_PACKAGE_VENDOR "pelorin")
set(CPACK_PACKAGE_CONTACT "pelorin maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "watch IP-to-hardware address bindings on Ethernet segments")
set(CPACK_PACKAGE_DESCRIPTION
    "pelorin captures ARP and IPv6 Neighbor Discovery on an interface, keeps\n\
the history of IP-to-hardware address bindings in an SQLite database per\n\
interface and reports new and changed bindings, with the organisations that\n\
own the hardware addresses from the IEEE registries.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ieee-data, default-mta | mail-transport-agent")
# Depends come from the libraries the programs are actually linked with.
# The symbols say too little about SQLite: every age the programs compute
# uses the unixepoch() SQL function, which arrived in 3.38, and an older
# library links fine but fails at the first query. dpkg accepts both
# constraints on the one package.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0 (>= 3.38)")
find_program(PELORIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(PELORIN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-dev, the floor each library must meet: immediate mode needs
  # libpcap 1.5, CURLOPT_XFERINFOFUNCTION libcurl 7.32.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6, libstdc++6, libsqlite3-0 (>= 3.38), libpcap0.8 (>= 1.5), libcurl4 (>= 7.32)")
endif()
include(CPack)
