# Writes debian/control: debian/control.in, then one package stanza for each
# printer family of build-config/, so that a new family file is all a new
# package needs. Run it after adding or changing a family:
#   cmake -P debian/gen-control.cmake
# With -DCHECK=ON it writes nothing and fails when debian/control differs
# from what it would write (a test runs it so).
get_filename_component(top ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
file(READ ${top}/debian/control.in control)
file(GLOB family_files ${top}/build-config/*.cmake)
list(SORT family_files)
foreach(file IN LISTS family_files)
  get_filename_component(family ${file} NAME_WE)
  unset(FAMILY_SERVICE_NAME)
  unset(FAMILY_MODEL_ROWS)
  include(${file})
  list(LENGTH FAMILY_MODEL_ROWS rows)
  string(SUBSTRING ${family} 0 1 initial)
  string(TOUPPER ${initial} initial)
  string(SUBSTRING ${family} 1 -1 rest)
  string(APPEND control "
Package: printer-helper-${family}
Architecture: any
Depends: printer-helper-common (= \${source:Version}),
         default-dbus-session-bus | dbus-session-bus,
         \${shlibs:Depends},
         \${misc:Depends}
Description: printer helper for print dialogs - Fenwa ${initial}${rest} printers
 The helper service and tool of the ${initial}${rest} printer family
 (${rows} model(s)). The service is started on demand on the
 D-Bus session bus as ${FAMILY_SERVICE_NAME}.
 It reads printer MIB values with SNMP v1, wakes printers with Wake-on-LAN,
 probes them with ICMP echo, and probes and writes files for the print dialog.
 printer-helper-tool-${family} calls it from the command line.
")
endforeach()

if(CHECK)
  file(READ ${top}/debian/control current)
  if(NOT current STREQUAL control)
    message(FATAL_ERROR "debian/control does not match build-config/ and debian/control.in; "
      "run: cmake -P debian/gen-control.cmake")
  endif()
else()
  file(WRITE ${top}/debian/control "${control}")
endif()
