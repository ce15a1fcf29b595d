# One service/tool pair per printer family, from build-config/<family>.cmake.
# Outputs (relied on by scripts, tests and packaging):
#   build/families/<family>/printer-helper-service, printer-helper-tool, family.env
#   build/dbus-1/services/<service name>.service
#   build/dbus-1/interfaces/<interface name>.xml
# Each family's values are read once, by ph_read_family, into the variables
# PH_FAMILY_<family>_* of this directory, which tests/ and packaging read too.

file(GLOB PH_FAMILY_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/build-config/*.cmake)
set(PH_ALL_FAMILIES "")
foreach(f IN LISTS PH_FAMILY_FILES)
  get_filename_component(name ${f} NAME_WE)
  list(APPEND PH_ALL_FAMILIES ${name})
endforeach()
if(PH_FAMILIES)
  foreach(name IN LISTS PH_FAMILIES)
    if(NOT name IN_LIST PH_ALL_FAMILIES)
      message(FATAL_ERROR "PH_FAMILIES names '${name}', which has no build-config/${name}.cmake")
    endif()
  endforeach()
  set(PH_BUILT_FAMILIES ${PH_FAMILIES})
else()
  set(PH_BUILT_FAMILIES ${PH_ALL_FAMILIES})
endif()

set(PH_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/printer-helper)

# The version that the tools print for --version: the project's, or, in a
# Debian package build, the package's (debian/rules passes debian/changelog's
# version, which must extend the project's: "1.0.0", "1.0.0+1", "1.0.0-2").
set(PH_DEBIAN_VERSION "" CACHE STRING "Version of the Debian package being built (set by debian/rules); empty otherwise")
if(PH_DEBIAN_VERSION STREQUAL "")
  set(PH_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  string(REPLACE "." "\\." ph_version_pattern "${PROJECT_VERSION}")
  if(NOT PH_DEBIAN_VERSION MATCHES "^${ph_version_pattern}([-+~][0-9A-Za-z.+~-]*)?$")
    message(FATAL_ERROR "debian/changelog's version '${PH_DEBIAN_VERSION}' is not project version ${PROJECT_VERSION} "
      "or a revision of it; the two must agree")
  endif()
  set(PH_PACKAGE_VERSION ${PH_DEBIAN_VERSION})
endif()

# A text as a C++ string literal, whatever characters it holds.
function(ph_cpp_string_literal text out)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  string(REPLACE "\r" "\\r" text "${text}")
  string(REPLACE "\t" "\\t" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# An install folder that a pkg-config module names (e.g. dbus-1's
# session_bus_services_dir), relative to the install prefix, so that a
# /usr/local or staging prefix puts the file where that prefix's readers look.
# A module that is missing or names a folder outside its prefix gives FALLBACK.
function(ph_pkg_config_dir module variable fallback out)
  set(sentinel /ph-install-prefix)
  execute_process(
    COMMAND ${PKG_CONFIG_EXECUTABLE} --define-variable=prefix=${sentinel} --variable=${variable} ${module}
    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
  if(status EQUAL 0 AND dir MATCHES "^${sentinel}/(.+)$")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    message(STATUS "pkg-config ${module} gives no ${variable} below its prefix; using ${fallback}")
    set(${out} ${fallback} PARENT_SCOPE)
  endif()
endfunction()

ph_pkg_config_dir(dbus-1 session_bus_services_dir share/dbus-1/services PH_DBUS_SERVICES_DIR)
ph_pkg_config_dir(dbus-1 interfaces_dir share/dbus-1/interfaces PH_DBUS_INTERFACES_DIR)
ph_pkg_config_dir(systemd systemduserunitdir lib/systemd/user PH_SYSTEMD_USER_UNIT_DIR)

# CMake regexes have no {n}: eight-four-four-four-twelve upper-case hex digits.
set(PH_H "[0-9A-F]")
string(REPEAT "${PH_H}" 4 PH_H4)
set(PH_UUID_PATTERN "^${PH_H4}${PH_H4}-${PH_H4}-${PH_H4}-${PH_H4}-${PH_H4}${PH_H4}${PH_H4}$")

# Reads and checks build-config/<family>.cmake and hands its values back as
# <prefix>_SERVICE_NAME, _PROTOCOL_UUID, _TOOL_OUTPUT, _STRING_FORM,
# _MODEL_ROWS (the rows as written), _MODEL_ROW_COUNT, _INTERFACE (the bus
# interface name) and _UNIT (the systemd user unit's file name).
function(ph_read_family family prefix)
  unset(FAMILY_SERVICE_NAME)
  unset(FAMILY_PROTOCOL_UUID)
  unset(FAMILY_TOOL_OUTPUT)
  unset(FAMILY_STRING_FORM)
  unset(FAMILY_MODEL_ROWS)
  include(${PROJECT_SOURCE_DIR}/build-config/${family}.cmake)

  if(NOT FAMILY_SERVICE_NAME MATCHES "^[A-Za-z_][A-Za-z0-9_]*(\\.[A-Za-z_][A-Za-z0-9_]*)+$")
    message(FATAL_ERROR "${family}: FAMILY_SERVICE_NAME '${FAMILY_SERVICE_NAME}' is not a bus name")
  endif()
  if(NOT FAMILY_PROTOCOL_UUID MATCHES "${PH_UUID_PATTERN}")
    message(FATAL_ERROR "${family}: FAMILY_PROTOCOL_UUID must be an upper-case hyphenated UUID")
  endif()
  if(NOT FAMILY_TOOL_OUTPUT MATCHES "^(hex|plain)$")
    message(FATAL_ERROR "${family}: FAMILY_TOOL_OUTPUT must be hex or plain")
  endif()
  if(NOT FAMILY_STRING_FORM MATCHES "^(utf8|bytes)$")
    message(FATAL_ERROR "${family}: FAMILY_STRING_FORM must be utf8 or bytes")
  endif()
  list(LENGTH FAMILY_MODEL_ROWS row_count)
  if(row_count EQUAL 0)
    message(FATAL_ERROR "${family}: FAMILY_MODEL_ROWS is empty")
  endif()
  foreach(row IN LISTS FAMILY_MODEL_ROWS)
    string(REPLACE "|" ";" cols "${row}")
    list(LENGTH cols ncols)
    if(NOT ncols EQUAL 6)
      message(FATAL_ERROR "${family}: model row '${row}' needs 6 fields")
    endif()
    foreach(i 3 4 5)
      list(GET cols ${i} number)
      if(NOT number MATCHES "^-?[0-9]+$")
        message(FATAL_ERROR "${family}: model row '${row}': field ${i} is not a whole number")
      endif()
    endforeach()
  endforeach()

  string(REPLACE "-" "_" uuid_id ${FAMILY_PROTOCOL_UUID})
  set(${prefix}_SERVICE_NAME ${FAMILY_SERVICE_NAME} PARENT_SCOPE)
  set(${prefix}_PROTOCOL_UUID ${FAMILY_PROTOCOL_UUID} PARENT_SCOPE)
  set(${prefix}_TOOL_OUTPUT ${FAMILY_TOOL_OUTPUT} PARENT_SCOPE)
  set(${prefix}_STRING_FORM ${FAMILY_STRING_FORM} PARENT_SCOPE)
  set(${prefix}_MODEL_ROWS "${FAMILY_MODEL_ROWS}" PARENT_SCOPE)
  set(${prefix}_MODEL_ROW_COUNT ${row_count} PARENT_SCOPE)
  set(${prefix}_INTERFACE ${FAMILY_SERVICE_NAME}.XPC_Protocol${uuid_id} PARENT_SCOPE)
  set(${prefix}_UNIT printer-helper-${family}.service PARENT_SCOPE)
endfunction()

foreach(name IN LISTS PH_ALL_FAMILIES)
  ph_read_family(${name} PH_FAMILY_${name})
endforeach()

# Two families with one bus name would replace each other's activation file,
# and two with one UUID would speak one protocol; every family is checked,
# built or not, since their packages install side by side.
foreach(pair "SERVICE_NAME|bus name" "PROTOCOL_UUID|protocol UUID")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 key)
  list(GET pair 1 what)
  set(seen "")
  foreach(name IN LISTS PH_ALL_FAMILIES)
    set(value ${PH_FAMILY_${name}_${key}})
    foreach(earlier IN LISTS seen)
      if(PH_FAMILY_${earlier}_${key} STREQUAL value)
        message(FATAL_ERROR "families '${earlier}' and '${name}' share the ${what} ${value} "
          "(build-config/${earlier}.cmake, build-config/${name}.cmake); each family needs its own")
      endif()
    endforeach()
    list(APPEND seen ${name})
  endforeach()
endforeach()

# Writes each family's introspection file from the operations of the wire
# contract (platform/Protocol.h). It runs at build time, so a cross build runs
# it through the toolchain's emulator (qemu-user), or as it is where the
# target runs here (i386); the command names its file either way, since CMake
# puts a target's path for its name only when it may run it.
add_executable(ph_introspection_xml ${PROJECT_SOURCE_DIR}/cmake/InterfaceXml.cpp)
target_link_libraries(ph_introspection_xml PRIVATE phplatform)
set(PH_INTROSPECTION_XML ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:ph_introspection_xml>)

# The sandbox of every family's systemd user unit. It takes away what the
# service's operations never need, and nothing that the caller's own rights
# allow: no PrivateTmp= (callers share /tmp with the service for cancel files
# and probes), no ProtectHome= or ProtectSystem= (the file operations reach
# every file the user may write), no private network (printers are
# anywhere). What stays: ICMP echo through a datagram socket, UDP to ports
# 161 and 9 (broadcast too), the bus and syslog over AF_UNIX, netlink for
# the interfaces of scoped IPv6 addresses, eventfd, the event loop and the file attributes and ACLs that a write copies. A
# system call outside the filter fails with EPERM, which the operation
# answers as a failure, instead of killing the service and every call in it.
# Left out because a user manager cannot apply them: CapabilityBoundingSet=
# (dropping from the bounding set needs a capability the user lacks: the
# unit fails to start), and everything that needs a user namespace
# (PrivateUsers=, ProtectKernel*=, ProtectHostname=, ...), which would fail
# the start wherever unprivileged user namespaces are off.
set(PH_UNIT_SANDBOX "NoNewPrivileges=yes
ProtectClock=yes
RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
LockPersonality=yes
MemoryDenyWriteExecute=yes
SystemCallArchitectures=native
SystemCallFilter=@system-service
SystemCallFilter=~@privileged @resources
SystemCallErrorNumber=EPERM
")

# The programs, generated files and install rules of one family whose values
# ph_read_family has read into PH_FAMILY_<family>_*.
function(ph_add_family FAMILY)
  set(v PH_FAMILY_${FAMILY})
  set(FAMILY_SERVICE_NAME ${${v}_SERVICE_NAME})
  set(FAMILY_PROTOCOL_UUID ${${v}_PROTOCOL_UUID})
  set(interface ${${v}_INTERFACE})
  set(unit ${${v}_UNIT})
  if(${v}_TOOL_OUTPUT STREQUAL "hex")
    set(PH_TOOL_OUTPUT_ENUM Hex)
  else()
    set(PH_TOOL_OUTPUT_ENUM Plain)
  endif()
  if(${v}_STRING_FORM STREQUAL "utf8")
    set(PH_STRING_FORM_ENUM Utf8)
  else()
    set(PH_STRING_FORM_ENUM Bytes)
  endif()

  ph_cpp_string_literal("${FAMILY}" PH_FAMILY_LITERAL)
  ph_cpp_string_literal("${FAMILY_SERVICE_NAME}" PH_SERVICE_NAME_LITERAL)
  ph_cpp_string_literal("${FAMILY_PROTOCOL_UUID}" PH_PROTOCOL_UUID_LITERAL)
  set(PH_MODEL_ROWS_CPP "")
  foreach(row IN LISTS ${v}_MODEL_ROWS)
    string(REPLACE "|" ";" cols "${row}")
    list(GET cols 0 manufacturer)
    list(GET cols 1 nickname)
    list(GET cols 2 key)
    list(GET cols 3 etype)
    list(GET cols 4 ekey)
    list(GET cols 5 emodel)
    ph_cpp_string_literal("${manufacturer}" manufacturer)
    ph_cpp_string_literal("${nickname}" nickname)
    ph_cpp_string_literal("${key}" key)
    string(APPEND PH_MODEL_ROWS_CPP "    {${manufacturer}, ${nickname}, ${key}, ${etype}, ${ekey}, ${emodel}},\n")
  endforeach()

  set(dir ${CMAKE_BINARY_DIR}/families/${FAMILY})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/FamilyConstants.cpp.in ${dir}/gen/FamilyConstants.cpp @ONLY)
  file(WRITE ${dir}/family.env.in
    "FAMILY=${FAMILY}\nSERVICE_NAME=${FAMILY_SERVICE_NAME}\nPROTOCOL_UUID=${FAMILY_PROTOCOL_UUID}\n"
    "TOOL_OUTPUT=${${v}_TOOL_OUTPUT}\nSTRING_FORM=${${v}_STRING_FORM}\nMODEL_ROWS=${${v}_MODEL_ROW_COUNT}\n"
    "INTERFACE=${interface}\n")
  configure_file(${dir}/family.env.in ${dir}/family.env COPYONLY)

  # The family's constants and model rows, shared by its two programs and its tests.
  add_library(phfamily_${FAMILY} OBJECT ${dir}/gen/FamilyConstants.cpp)
  target_link_libraries(phfamily_${FAMILY} PUBLIC phmodels)

  add_executable(printer-helper-service-${FAMILY} ${PROJECT_SOURCE_DIR}/XPCService/main.cpp)
  target_link_libraries(printer-helper-service-${FAMILY} PRIVATE phfamily_${FAMILY} phservice)
  set_target_properties(printer-helper-service-${FAMILY} PROPERTIES
    OUTPUT_NAME printer-helper-service RUNTIME_OUTPUT_DIRECTORY ${dir})

  add_executable(printer-helper-tool-${FAMILY} ${PROJECT_SOURCE_DIR}/tool/main.cpp)
  target_link_libraries(printer-helper-tool-${FAMILY} PRIVATE phfamily_${FAMILY} phtool)
  target_compile_definitions(printer-helper-tool-${FAMILY} PRIVATE PH_PACKAGE_VERSION="${PH_PACKAGE_VERSION}")
  set_target_properties(printer-helper-tool-${FAMILY} PROPERTIES
    OUTPUT_NAME printer-helper-tool RUNTIME_OUTPUT_DIRECTORY ${dir})

  # Activation file for the build tree: the bus daemon of scripts/sandbox reads it.
  file(WRITE ${CMAKE_BINARY_DIR}/dbus-1/services/${FAMILY_SERVICE_NAME}.service
    "[D-BUS Service]\nName=${FAMILY_SERVICE_NAME}\nExec=${dir}/printer-helper-service\n")

  set(xml ${CMAKE_BINARY_DIR}/dbus-1/interfaces/${interface}.xml)
  add_custom_command(OUTPUT ${xml}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/dbus-1/interfaces
    COMMAND ${PH_INTROSPECTION_XML} ${FAMILY_SERVICE_NAME} ${FAMILY_PROTOCOL_UUID} ${xml}
    DEPENDS ph_introspection_xml
    COMMENT "Writing the introspection file of ${interface}")
  add_custom_target(ph_interface_${FAMILY} ALL DEPENDS ${xml})
  install(FILES ${xml} DESTINATION ${PH_DBUS_INTERFACES_DIR} COMPONENT ${FAMILY})

  # Activation file and systemd user unit of the installed programs. Written
  # at install time so that they name the prefix actually installed to (cmake
  # --install --prefix, or /usr when debian/rules stages a package); DESTDIR is a
  # staging root and stays out. On a systemd desktop the bus hands the start
  # to the unit (SystemdService=); any other bus runs Exec= itself.
  install(CODE "set(exec \"\${CMAKE_INSTALL_PREFIX}/${PH_INSTALL_DIR}/${FAMILY}/printer-helper-service\")
    set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(file \"\${root}/${PH_DBUS_SERVICES_DIR}/${FAMILY_SERVICE_NAME}.service\")
    message(STATUS \"Installing: \${file}\")
    file(WRITE \"\${file}\"
      \"[D-BUS Service]\\nName=${FAMILY_SERVICE_NAME}\\nExec=\${exec}\\nSystemdService=${unit}\\n\")
    set(file \"\${root}/${PH_SYSTEMD_USER_UNIT_DIR}/${unit}\")
    message(STATUS \"Installing: \${file}\")
    file(WRITE \"\${file}\" \"[Unit]
Description=Printer helper service of the ${FAMILY} printer family
Documentation=man:printer-helper-tool(1)

[Service]
Type=dbus
BusName=${FAMILY_SERVICE_NAME}
ExecStart=\${exec}
# The service gives its name back when idle and says STOPPING=1 first, so
# that systemd waits for it to exit instead of stopping it, and queues the
# next start for after.
NotifyAccess=main
${PH_UNIT_SANDBOX}\")"
    COMPONENT ${FAMILY})

  install(TARGETS printer-helper-service-${FAMILY} printer-helper-tool-${FAMILY}
    RUNTIME DESTINATION ${PH_INSTALL_DIR}/${FAMILY} COMPONENT ${FAMILY})
  # A stripped install (cmake --install --strip) also drops the
  # sections that Debian strips from its own programs: the toolchain's
  # .comment and .note notes.
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      foreach(program printer-helper-service printer-helper-tool)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${PH_INSTALL_DIR}/${FAMILY}/\${program}\"
          COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()"
    COMPONENT ${FAMILY})
  install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(CREATE_LINK ../${PH_INSTALL_DIR}/${FAMILY}/printer-helper-tool
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/printer-helper-tool-${FAMILY}\" SYMBOLIC)"
    COMPONENT ${FAMILY})
endfunction()

# A family dropped from PH_FAMILIES must not stay activatable in the build tree.
file(GLOB PH_STALE_FAMILY_FILES ${CMAKE_BINARY_DIR}/dbus-1/services/*.service
  ${CMAKE_BINARY_DIR}/dbus-1/interfaces/*.xml)
if(PH_STALE_FAMILY_FILES)
  file(REMOVE ${PH_STALE_FAMILY_FILES})
endif()
foreach(name IN LISTS PH_BUILT_FAMILIES)
  ph_add_family(${name})
endforeach()
