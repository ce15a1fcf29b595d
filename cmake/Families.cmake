# One service/tool pair per printer family, from build-config/<family>.cmake.
# Outputs (relied on by scripts, tests and packaging):
#   build/families/<family>/printer-helper-service, printer-helper-tool, family.env
#   build/dbus-1/services/<service name>.service

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
set(PH_BUILT_FAMILIES ${PH_BUILT_FAMILIES} CACHE INTERNAL "")

set(PH_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/printer-helper)

# CMake regexes have no {n}: eight-four-four-four-twelve upper-case hex digits.
set(PH_H "[0-9A-F]")
string(REPEAT "${PH_H}" 4 PH_H4)
set(PH_UUID_PATTERN "^${PH_H4}${PH_H4}-${PH_H4}-${PH_H4}-${PH_H4}-${PH_H4}${PH_H4}${PH_H4}$")

function(ph_add_family FAMILY)
  unset(FAMILY_SERVICE_NAME)
  unset(FAMILY_PROTOCOL_UUID)
  unset(FAMILY_TOOL_OUTPUT)
  unset(FAMILY_STRING_FORM)
  unset(FAMILY_MODEL_ROWS)
  include(${PROJECT_SOURCE_DIR}/build-config/${FAMILY}.cmake)

  if(NOT FAMILY_SERVICE_NAME MATCHES "^[A-Za-z_][A-Za-z0-9_]*(\\.[A-Za-z_][A-Za-z0-9_]*)+$")
    message(FATAL_ERROR "${FAMILY}: FAMILY_SERVICE_NAME '${FAMILY_SERVICE_NAME}' is not a bus name")
  endif()
  if(NOT FAMILY_PROTOCOL_UUID MATCHES "${PH_UUID_PATTERN}")
    message(FATAL_ERROR "${FAMILY}: FAMILY_PROTOCOL_UUID must be an upper-case hyphenated UUID")
  endif()
  if(FAMILY_TOOL_OUTPUT STREQUAL "hex")
    set(PH_TOOL_OUTPUT_ENUM Hex)
  elseif(FAMILY_TOOL_OUTPUT STREQUAL "plain")
    set(PH_TOOL_OUTPUT_ENUM Plain)
  else()
    message(FATAL_ERROR "${FAMILY}: FAMILY_TOOL_OUTPUT must be hex or plain")
  endif()
  if(FAMILY_STRING_FORM STREQUAL "utf8")
    set(PH_STRING_FORM_ENUM Utf8)
  elseif(FAMILY_STRING_FORM STREQUAL "bytes")
    set(PH_STRING_FORM_ENUM Bytes)
  else()
    message(FATAL_ERROR "${FAMILY}: FAMILY_STRING_FORM must be utf8 or bytes")
  endif()

  set(PH_MODEL_ROWS_CPP "")
  list(LENGTH FAMILY_MODEL_ROWS row_count)
  if(row_count EQUAL 0)
    message(FATAL_ERROR "${FAMILY}: FAMILY_MODEL_ROWS is empty")
  endif()
  foreach(row IN LISTS FAMILY_MODEL_ROWS)
    string(REPLACE "|" ";" cols "${row}")
    list(LENGTH cols ncols)
    if(NOT ncols EQUAL 6)
      message(FATAL_ERROR "${FAMILY}: model row '${row}' needs 6 fields")
    endif()
    list(GET cols 0 manufacturer)
    list(GET cols 1 nickname)
    list(GET cols 2 key)
    list(GET cols 3 etype)
    list(GET cols 4 ekey)
    list(GET cols 5 emodel)
    string(APPEND PH_MODEL_ROWS_CPP
      "    {\"${manufacturer}\", \"${nickname}\", \"${key}\", ${etype}, ${ekey}, ${emodel}},\n")
  endforeach()

  set(dir ${CMAKE_BINARY_DIR}/families/${FAMILY})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/FamilyConstants.cpp.in ${dir}/gen/FamilyConstants.cpp @ONLY)
  file(WRITE ${dir}/family.env.in
    "FAMILY=${FAMILY}\nSERVICE_NAME=${FAMILY_SERVICE_NAME}\nPROTOCOL_UUID=${FAMILY_PROTOCOL_UUID}\n"
    "TOOL_OUTPUT=${FAMILY_TOOL_OUTPUT}\nSTRING_FORM=${FAMILY_STRING_FORM}\nMODEL_ROWS=${row_count}\n")
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
  set_target_properties(printer-helper-tool-${FAMILY} PROPERTIES
    OUTPUT_NAME printer-helper-tool RUNTIME_OUTPUT_DIRECTORY ${dir})

  # Activation file for the build tree: the bus daemon of scripts/sandbox reads it.
  file(WRITE ${CMAKE_BINARY_DIR}/dbus-1/services/${FAMILY_SERVICE_NAME}.service
    "[D-BUS Service]\nName=${FAMILY_SERVICE_NAME}\nExec=${dir}/printer-helper-service\n")

  # Activation file for the installed programs. Written at install time so that
  # Exec= names the prefix actually installed to (cmake --install --prefix, or
  # /usr when CPack stages a package); DESTDIR is a staging root and stays out.
  set(services_dir ${CMAKE_INSTALL_DATADIR}/dbus-1/services)
  install(CODE "set(exec \"\${CMAKE_INSTALL_PREFIX}/${PH_INSTALL_DIR}/${FAMILY}/printer-helper-service\")
    set(file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${services_dir}/${FAMILY_SERVICE_NAME}.service\")
    message(STATUS \"Installing: \${file}\")
    file(WRITE \"\${file}\" \"[D-BUS Service]\\nName=${FAMILY_SERVICE_NAME}\\nExec=\${exec}\\n\")"
    COMPONENT ${FAMILY})

  install(TARGETS printer-helper-service-${FAMILY} printer-helper-tool-${FAMILY}
    RUNTIME DESTINATION ${PH_INSTALL_DIR}/${FAMILY} COMPONENT ${FAMILY})
  install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(CREATE_LINK ../${PH_INSTALL_DIR}/${FAMILY}/printer-helper-tool
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/printer-helper-tool-${FAMILY}\" SYMBOLIC)"
    COMPONENT ${FAMILY})

  set(PH_FAMILY_${FAMILY}_SERVICE_NAME ${FAMILY_SERVICE_NAME} CACHE INTERNAL "")
  set(PH_FAMILY_${FAMILY}_PROTOCOL_UUID ${FAMILY_PROTOCOL_UUID} CACHE INTERNAL "")
  set(PH_FAMILY_${FAMILY}_TOOL_OUTPUT ${FAMILY_TOOL_OUTPUT} CACHE INTERNAL "")
  set(PH_FAMILY_${FAMILY}_STRING_FORM ${FAMILY_STRING_FORM} CACHE INTERNAL "")
  set(PH_FAMILY_${FAMILY}_MODEL_ROWS ${row_count} CACHE INTERNAL "")
endfunction()

# A family dropped from PH_FAMILIES must not stay activatable in the build tree.
file(GLOB PH_STALE_ACTIVATION_FILES ${CMAKE_BINARY_DIR}/dbus-1/services/*.service)
if(PH_STALE_ACTIVATION_FILES)
  file(REMOVE ${PH_STALE_ACTIVATION_FILES})
endif()
foreach(name IN LISTS PH_BUILT_FAMILIES)
  ph_add_family(${name})
endforeach()
