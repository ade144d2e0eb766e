# Installation of everything that is not a program (manual pages, service
# units and their defaults file, the library directory, example notify
# commands, the vendor database helper for Debian's ieee-data) and the
# Debian package. The programs install themselves from their own directories.

# The programs open their databases under this fixed directory unless -L
# says otherwise, so it is created there whatever the install prefix is.
set(PELORIN_LIBRARY_DIR "/var/db/pelorin" CACHE PATH
    "Library directory the programs use by default (absolute)")
# Relative to the install prefix: /usr/lib/systemd/system for a system
# install, /usr/local/lib/systemd/system for a local one; systemd reads both.
set(PELORIN_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory for the systemd units, relative to the install prefix")
# The watchers' options, read by the template unit (absolute, like the
# library directory: the units name it whatever the prefix).
set(PELORIN_DEFAULTS_FILE "/etc/default/pelorin" CACHE FILEPATH
    "Environment file with the options of the pelorin@ units (absolute)")
set(PELORIN_USER "pelorin" CACHE STRING
    "System user and group the units and the package's scripts run the programs as")
# update-ieee-data runs the scripts in this directory after a download.
set(PELORIN_IEEE_DATA_HOOKDIR "/var/lib/ieee-data/update.d" CACHE PATH
    "Hook directory of Debian's update-ieee-data (absolute)")

# Manual pages are installed compressed, as Debian's policy asks; -n keeps
# the name and time out of the archive, so that builds are reproducible.
find_program(PELORIN_GZIP gzip REQUIRED)
set(pelorin_man_dir "${PROJECT_BINARY_DIR}/man")
foreach(page pelorin.8 pelorin-update-ma.8 pelorin-query.1 pelorin-lookup-ma.1 pelorin-html.1)
  add_custom_command(OUTPUT ${pelorin_man_dir}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${pelorin_man_dir}
    COMMAND ${PELORIN_GZIP} -9nc ${PROJECT_SOURCE_DIR}/docs/${page} > ${pelorin_man_dir}/${page}.gz
    DEPENDS docs/${page} VERBATIM)
  list(APPEND pelorin_man_pages ${pelorin_man_dir}/${page}.gz)
endforeach()
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.Debian.gz
  COMMAND ${PELORIN_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
          > ${PROJECT_BINARY_DIR}/changelog.Debian.gz
  DEPENDS packaging/debian/changelog VERBATIM)
add_custom_target(pelorin_compressed_docs ALL
  DEPENDS ${pelorin_man_pages} ${PROJECT_BINARY_DIR}/changelog.Debian.gz)

install(FILES ${pelorin_man_dir}/pelorin.8.gz ${pelorin_man_dir}/pelorin-update-ma.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${pelorin_man_dir}/pelorin-query.1.gz ${pelorin_man_dir}/pelorin-lookup-ma.1.gz
        ${pelorin_man_dir}/pelorin-html.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The watchers' metrics files (-M) go into a directory of their own inside
# it, which node_exporter's textfile collector is pointed at: the unit may
# already write there, and the report's path unit, watching the library
# directory itself, does not see them.
foreach(dir ${PELORIN_LIBRARY_DIR} ${PELORIN_LIBRARY_DIR}/metrics)
  install(DIRECTORY DESTINATION ${dir}
          DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
get_filename_component(pelorin_defaults_dir "${PELORIN_DEFAULTS_FILE}" DIRECTORY)
get_filename_component(pelorin_defaults_name "${PELORIN_DEFAULTS_FILE}" NAME)
install(FILES systemd/pelorin.default DESTINATION ${pelorin_defaults_dir}
        RENAME ${pelorin_defaults_name})

install(PROGRAMS contrib/notify-logger contrib/notify-sendmail contrib/notify-html
        contrib/notify-syslog
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# Prometheus alerting rules for the metrics (-M).
install(FILES contrib/pelorin-alerts.yml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# rsyslog snippets, schema and queries for collecting many sensors' changes
# in one PostgreSQL table.
install(FILES contrib/fleet/pelorin-sensor.conf contrib/fleet/pelorin-central.conf
              contrib/fleet/schema.sql contrib/fleet/queries.sql
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/fleet)
install(FILES README.md packaging/debian/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME pelorin)

# The units and the scripts name the programs by absolute path, and that
# path depends on the prefix given at install time (cmake --install
# --prefix, or CPack's /usr), not on the one the tree was configured with.
# So they are filled in while installing: template, destination directory
# (relative to the prefix unless absolute), installed name, mode.
set(pelorin_stage "${PROJECT_BINARY_DIR}/install-stage")
set(pelorin_configured_files
  "systemd/pelorin@.service.in|${PELORIN_SYSTEMD_UNITDIR}|pelorin@.service|FILE"
  "systemd/pelorin-update-ma.service.in|${PELORIN_SYSTEMD_UNITDIR}|pelorin-update-ma.service|FILE"
  "systemd/pelorin-update-ma.timer.in|${PELORIN_SYSTEMD_UNITDIR}|pelorin-update-ma.timer|FILE"
  "systemd/pelorin-html.service.in|${PELORIN_SYSTEMD_UNITDIR}|pelorin-html.service|FILE"
  "systemd/pelorin-html.path.in|${PELORIN_SYSTEMD_UNITDIR}|pelorin-html.path|FILE"
  "systemd/pelorin-html.timer.in|${PELORIN_SYSTEMD_UNITDIR}|pelorin-html.timer|FILE"
  "packaging/ma-db-from-ieee-data.in|${CMAKE_INSTALL_LIBEXECDIR}/pelorin|ma-db-from-ieee-data|PROGRAM"
  "packaging/ieee-data-update-hook.in|${PELORIN_IEEE_DATA_HOOKDIR}|pelorin|PROGRAM")
foreach(entry ${pelorin_configured_files})
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 template)
  list(GET entry 1 destination)
  list(GET entry 2 name)
  list(GET entry 3 type)
  # Staged per destination, so that installs running side by side (a
  # package build next to a staging install) never share a file.
  install(CODE "
    set(PELORIN_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
    set(PELORIN_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(PELORIN_LIBEXECDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/pelorin\")
    set(PELORIN_LIBRARY_DIR \"${PELORIN_LIBRARY_DIR}\")
    set(PELORIN_DEFAULTS_FILE \"${PELORIN_DEFAULTS_FILE}\")
    set(PELORIN_USER \"${PELORIN_USER}\")
    set(pelorin_destination \"${destination}\")
    if(NOT IS_ABSOLUTE \"\${pelorin_destination}\")
      set(pelorin_destination \"\${CMAKE_INSTALL_PREFIX}/\${pelorin_destination}\")
    endif()
    string(MD5 pelorin_stage_key \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(pelorin_staged \"${pelorin_stage}/\${pelorin_stage_key}/${name}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/${template}\" \"\${pelorin_staged}\" @ONLY)
    file(INSTALL DESTINATION \"\${pelorin_destination}\" TYPE ${type} FILES \"\${pelorin_staged}\")
  ")
endforeach()

# Debian package: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME pelorin)
set(CPACK_PACKAGE_VENDOR "pelorin")
# Debian's tools take the maintainer from DEBFULLNAME and DEBEMAIL; a
# package built without them names the project.
if(DEFINED ENV{DEBEMAIL} AND NOT "$ENV{DEBEMAIL}" STREQUAL "")
  if(DEFINED ENV{DEBFULLNAME} AND NOT "$ENV{DEBFULLNAME}" STREQUAL "")
    set(pelorin_default_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
  else()
    set(pelorin_default_maintainer "$ENV{DEBEMAIL}")
  endif()
else()
  set(pelorin_default_maintainer "pelorin authors <pelorin@example.org>")
endif()
set(PELORIN_MAINTAINER "${pelorin_default_maintainer}" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${PELORIN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PELORIN_MAINTAINER}")
# The upstream version and a Debian revision, counted in
# packaging/debian/changelog.
set(PELORIN_PACKAGE_VERSION "${PROJECT_VERSION}-1" CACHE STRING
    "Version of the Debian package")
set(CPACK_DEBIAN_PACKAGE_VERSION "${PELORIN_PACKAGE_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "watch IP-to-hardware address bindings on Ethernet segments")
# CPack writes the summary as the synopsis, then this as the extended text.
set(CPACK_PACKAGE_DESCRIPTION
    "pelorin captures ARP and IPv6 Neighbor Discovery on an interface, keeps\n\
the history of IP-to-hardware address bindings in an SQLite database per\n\
interface and reports new and changed bindings, with the organisations that\n\
own the hardware addresses from the IEEE registries.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "default-mta | mail-transport-agent")

# Maintainer scripts, the trigger on ieee-data's files and the conffile.
set(pelorin_control_dir "${PROJECT_BINARY_DIR}/debian-control")
set(PELORIN_LIBEXECDIR "${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/pelorin")
configure_file(packaging/debian/postinst.in ${pelorin_control_dir}/postinst @ONLY)
configure_file(packaging/debian/postrm.in ${pelorin_control_dir}/postrm @ONLY)
configure_file(packaging/debian/prerm ${pelorin_control_dir}/prerm COPYONLY)
configure_file(packaging/debian/triggers ${pelorin_control_dir}/triggers COPYONLY)
file(WRITE ${pelorin_control_dir}/conffiles "${PELORIN_DEFAULTS_FILE}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${pelorin_control_dir}/postinst ${pelorin_control_dir}/prerm ${pelorin_control_dir}/postrm
    ${pelorin_control_dir}/triggers ${pelorin_control_dir}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Depends: the packages of the libraries the programs are linked with, as
# dpkg-shlibdeps finds them when cpack runs, plus what the maintainer
# scripts use (adduser) and the registry files of the first, offline
# vendor database (ieee-data). The symbols say too little about SQLite:
# every age the programs compute uses the unixepoch() SQL function, which
# arrived in 3.38, and an older library links fine but fails at the first
# query; so its constraint is raised there, in one entry.
set(PELORIN_PACKAGE_EXTRA_DEPENDS "adduser, ieee-data")
set(PELORIN_PACKAGE_PROGRAMS "")
foreach(program pelorin pelorin-update-ma pelorin-query pelorin-lookup-ma pelorin-html)
  if(TARGET ${program})
    list(APPEND PELORIN_PACKAGE_PROGRAMS "${PROJECT_BINARY_DIR}/bin/${program}")
  endif()
endforeach()
find_program(PELORIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(PELORIN_FALLBACK_DEPENDS
    "libc6, libstdc++6, libsqlite3-0 (>= 3.38), libpcap0.8 (>= 1.5), libcurl4 (>= 7.32)")
configure_file(packaging/cpack_project_config.cmake.in
               ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
include(CPack)
