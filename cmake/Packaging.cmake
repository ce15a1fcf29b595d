# What the families share on an installed system.
#
# Install components: one per printer family (its two programs, the bin/ link,
# the activation file, a manual-page link; cmake/Families.cmake and below) and
# "common" (the manual page and the ICMP sysctl drop-in). debian/rules installs
# each into the Debian package of its name: printer-helper-<family>, which
# depend on printer-helper-common, so any set of families installs side by
# side without two packages owning one file.

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

# --- ICMP datagram sockets ---------------------------------------------------
# Not CMAKE_INSTALL_LIBDIR: sysctl.d lives in lib/, never in a multiarch folder.
install(FILES ${PH_PACKAGING_DIR}/50-printer-helper-ping.conf
  DESTINATION lib/sysctl.d COMPONENT common)
