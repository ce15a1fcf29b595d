# What the families share on an installed system, and the Debian packages.
#
# Install components: one per printer family (its two programs, the bin/ link,
# the activation file, a manual-page link; cmake/Families.cmake and below) and
# "common" (the manual page and the ICMP sysctl drop-in). `cpack -G DEB` makes
# one package of each: printer-helper-<family>, which depend on
# printer-helper-common, so any set of families installs side by side without
# two packages owning one file.

set(PH_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# --- Manual page -------------------------------------------------------------
# One page for every family's tool; its FAMILIES section and examples come
# from the built families, so it never names a bus the build does not serve.
set(PH_MAN_FAMILIES "")
set(PH_MAN_EX_FAMILY "")
foreach(f IN LISTS PH_BUILT_FAMILIES)
  set(name ${PH_FAMILY_${f}_SERVICE_NAME})
  string(REPLACE "${name}" "" interface_tail ${PH_FAMILY_${f}_INTERFACE})
  string(APPEND PH_MAN_FAMILIES
    ".TP\n.BR printer\\-helper\\-tool\\-${f}\n"
    "bus name\n.BR \\%${name} ;\ninterface: the bus name followed by\n.BR \\%${interface_tail} ;\n"
    "SNMP line ${PH_FAMILY_${f}_TOOL_OUTPUT}, string form ${PH_FAMILY_${f}_STRING_FORM},\n"
    "${PH_FAMILY_${f}_MODEL_ROW_COUNT} printer model(s).\n")
  # The examples show plain output, so they use a plain family where one exists.
  if(PH_MAN_EX_FAMILY STREQUAL "" OR
     (NOT PH_FAMILY_${PH_MAN_EX_FAMILY}_TOOL_OUTPUT STREQUAL "plain" AND PH_FAMILY_${f}_TOOL_OUTPUT STREQUAL "plain"))
    set(PH_MAN_EX_FAMILY ${f})
    set(PH_MAN_EX_NAME ${name})
    set(PH_MAN_EX_INTERFACE ${PH_FAMILY_${f}_INTERFACE})
  endif()
endforeach()

set(PH_MAN_PAGE ${CMAKE_BINARY_DIR}/packaging/printer-helper-tool.1)
configure_file(${PH_PACKAGING_DIR}/printer-helper-tool.1.in ${PH_MAN_PAGE}.template @ONLY)
# The methods of its D-BUS INTERFACE section are written by the program that
# writes the introspection files, from the same operation table.
add_custom_command(OUTPUT ${PH_MAN_PAGE}
  COMMAND ${PH_INTROSPECTION_XML} --manual-page ${PH_MAN_PAGE}.template ${PH_MAN_PAGE}
  DEPENDS ph_introspection_xml ${PH_MAN_PAGE}.template
  COMMENT "Writing the bus interface into printer-helper-tool.1")
# Debian ships manual pages gzip-compressed; -n keeps the archive reproducible.
add_custom_command(OUTPUT ${PH_MAN_PAGE}.gz
  COMMAND gzip -9nc ${PH_MAN_PAGE} > ${PH_MAN_PAGE}.gz
  DEPENDS ${PH_MAN_PAGE}
  COMMENT "Compressing printer-helper-tool.1")
add_custom_target(ph_man_page ALL DEPENDS ${PH_MAN_PAGE}.gz)

set(PH_MAN1_DIR ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PH_MAN_PAGE}.gz DESTINATION ${PH_MAN1_DIR} COMPONENT common)
foreach(f IN LISTS PH_BUILT_FAMILIES)
  # `man printer-helper-tool-<family>` finds the shared page.
  install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${PH_MAN1_DIR}\")
    file(CREATE_LINK printer-helper-tool.1.gz
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${PH_MAN1_DIR}/printer-helper-tool-${f}.1.gz\" SYMBOLIC)"
    COMPONENT ${f})
endforeach()

# --- Package documentation ---------------------------------------------------
# Debian wants a copyright file and a compressed changelog in every package's
# share/doc folder.
set(PH_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${PH_CHANGELOG}
  COMMAND gzip -9nc ${PH_PACKAGING_DIR}/changelog.Debian > ${PH_CHANGELOG}
  DEPENDS ${PH_PACKAGING_DIR}/changelog.Debian)
add_custom_target(ph_changelog ALL DEPENDS ${PH_CHANGELOG})
foreach(component IN ITEMS common ${PH_BUILT_FAMILIES})
  install(FILES ${PH_PACKAGING_DIR}/copyright ${PH_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/printer-helper-${component} COMPONENT ${component})
endforeach()

install(FILES ${PH_PACKAGING_DIR}/debian/common/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME printer-helper-common COMPONENT common)

# --- ICMP datagram sockets ---------------------------------------------------
# Not CMAKE_INSTALL_LIBDIR: sysctl.d lives in lib/, never in a multiarch folder.
install(FILES ${PH_PACKAGING_DIR}/50-printer-helper-ping.conf
  DESTINATION lib/sysctl.d COMPONENT common)

# --- Debian packages ---------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME printer-helper)
set(CPACK_PACKAGE_VENDOR "Fenwa")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Printer helper maintainers <printer-helper@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PH_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped as Debian's own packages are: the install rules of the programs
# also drop their .comment and .note sections when stripping
# (cmake/Families.cmake).
set(CPACK_STRIP_FILES TRUE)
# Runtime library dependencies (libsystemd0, libstdc++6, ...) from
# dpkg-shlibdeps (package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL common ${PH_BUILT_FAMILIES})

set(CPACK_DEBIAN_COMMON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_COMMON_PACKAGE_SHLIBDEPS OFF)
# Its maintainer scripts apply the drop-in and, on removal, put the system's
# setting back, both with procps' sysctl.
set(CPACK_DEBIAN_COMMON_PACKAGE_DEPENDS procps)
set(CPACK_DEBIAN_COMMON_PACKAGE_CONTROL_EXTRA
  ${PH_PACKAGING_DIR}/debian/common/postinst ${PH_PACKAGING_DIR}/debian/common/postrm)
set(CPACK_DEBIAN_COMMON_DESCRIPTION
  "printer helper for print dialogs - common files
The manual page of printer-helper-tool and a sysctl drop-in that lets session
users open ICMP datagram sockets, which the helper services' echo probe needs.")

foreach(f IN LISTS PH_BUILT_FAMILIES)
  string(TOUPPER ${f} F)
  string(SUBSTRING ${F} 0 1 initial)
  string(SUBSTRING ${f} 1 -1 rest)
  set(CPACK_DEBIAN_${F}_PACKAGE_DEPENDS
    "printer-helper-common (= ${PH_PACKAGE_VERSION}), default-dbus-session-bus | dbus-session-bus")
  # Upgrades, reinstalls and removals end the family's running services.
  set(scripts "")
  foreach(PH_SCRIPT prerm postinst postrm)
    set(PH_FAMILY ${f})
    set(PH_SERVICE_PATH ${CPACK_PACKAGING_INSTALL_PREFIX}/${PH_INSTALL_DIR}/${f}/printer-helper-service)
    set(script ${CMAKE_BINARY_DIR}/packaging/debian/${f}/${PH_SCRIPT})
    configure_file(${PH_PACKAGING_DIR}/debian/family/maintainer-script.in ${script} @ONLY
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND scripts ${script})
  endforeach()
  set(CPACK_DEBIAN_${F}_PACKAGE_CONTROL_EXTRA ${scripts})
  set(CPACK_DEBIAN_${F}_DESCRIPTION
    "printer helper for print dialogs - Fenwa ${initial}${rest} printers
The helper service and tool of the ${initial}${rest} printer family
(${PH_FAMILY_${f}_MODEL_ROW_COUNT} model(s)). The service is started on demand on the
D-Bus session bus as ${PH_FAMILY_${f}_SERVICE_NAME}.
It reads printer MIB values with SNMP v1, wakes printers with Wake-on-LAN,
probes them with ICMP echo, and probes and writes files for the print dialog.
printer-helper-tool-${f} calls it from the command line.")
endforeach()

include(CPack)
