# What the families share on an installed system.
#
# Install components: one per printer family (its two programs, the bin/ link,
# the activation file, a manual-page link; cmake/Families.cmake and below) and
# "common" (the manual page and the ICMP sysctl drop-in). debian/rules installs
# each into the Debian package of its name: printer-helper-<family>, which
# depend on printer-helper-common, so any set of families installs side by
# side without two packages owning one file.

set(PH_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# --- Debian's hardening flags --------------------------------------------------
# The programs and the libraries they are made of are built with the
# hardening flags that Debian builds its own packages with (dpkg-buildflags
# with every hardening feature: -D_FORTIFY_SOURCE, -fstack-protector-strong,
# the format checks, -z relro -z now; PIE is the compiler's default), in the
# development build too, so that the tests run the code the packages ship;
# the tests' and benchmarks' own sources keep the plain flags. The optimisation,
# debug-information and path-mapping flags among them are left out: the build
# type decides those. The sanitizer and fuzzing builds keep their own flags,
# since _FORTIFY_SOURCE's checked functions would stand between
# AddressSanitizer and the accesses it is there to see.
option(PH_DEBIAN_BUILD_FLAGS "Build with Debian's hardening flags (dpkg-buildflags)" ON)
find_program(PH_DPKG_BUILDFLAGS dpkg-buildflags)
if(PH_DEBIAN_BUILD_FLAGS AND NOT PH_SANITIZE AND NOT PH_FUZZ)
  if(NOT PH_DPKG_BUILDFLAGS)
    message(FATAL_ERROR "dpkg-buildflags (package dpkg-dev) is missing; install it or configure with -DPH_DEBIAN_BUILD_FLAGS=OFF")
  endif()
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
        ${PH_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*|ffile-prefix-map=.*|fdebug-prefix-map=.*)$")
    set(ph_${kind} ${flags})
  endforeach()
  message(STATUS "Debian hardening flags: ${ph_CPPFLAGS} ${ph_CXXFLAGS} | link: ${ph_LDFLAGS}")
  # _FORTIFY_SOURCE needs an optimising build; in a Debug build it only warns.
  set(ph_compile_flags "")
  foreach(flag IN LISTS ph_CPPFLAGS)
    list(APPEND ph_compile_flags "$<$<NOT:$<CONFIG:Debug>>:${flag}>")
  endforeach()
  list(APPEND ph_compile_flags ${ph_CXXFLAGS})

  # Applied to the targets of every folder but tests/ and bench/, whichever
  # was read first.
  function(ph_harden_targets_below dir)
    if(dir MATCHES "^${PROJECT_SOURCE_DIR}/(tests|bench)(/|$)")
      return()
    endif()
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
      get_target_property(type ${t} TYPE)
      if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
        set_property(TARGET ${t} APPEND PROPERTY COMPILE_OPTIONS ${ph_compile_flags})
      endif()
      if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
        set_property(TARGET ${t} APPEND PROPERTY LINK_OPTIONS ${ph_LDFLAGS})
      endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
      ph_harden_targets_below(${sub})
    endforeach()
  endfunction()
  ph_harden_targets_below(${PROJECT_SOURCE_DIR})
endif()
# The flags in force, for the package test: only a hardened build makes the
# packages that lintian must find clean.
set(PH_BUILD_FLAGS_NOTE ${CMAKE_BINARY_DIR}/packaging/debian-build-flags)
if(ph_LDFLAGS)
  file(WRITE ${PH_BUILD_FLAGS_NOTE} "${ph_CPPFLAGS};${ph_CXXFLAGS}\n${ph_LDFLAGS}\n")
else()
  file(REMOVE ${PH_BUILD_FLAGS_NOTE})
endif()

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
  COMMAND ph_introspection_xml --manual-page ${PH_MAN_PAGE}.template ${PH_MAN_PAGE}
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
