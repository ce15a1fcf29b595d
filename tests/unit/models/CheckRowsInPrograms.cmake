# cmake -DTEXTS=texts.cmake -DSERVICE=exe -DTOOL=exe -P CheckRowsInPrograms.cmake
# Both programs must hold every text of their family's rows as a NUL-terminated
# string (the linker may share a string's tail, so the text may end a longer
# one), and no nickname or job-ticket key of another family.
cmake_minimum_required(VERSION 3.25)
include(${TEXTS})

# Whether program holds text; with terminated, as a NUL-terminated string.
# grep reads the binary as it is, which is far quicker than a hex dump of
# several megabytes in CMake.
function(ph_program_holds program text terminated out)
  if(terminated)
    execute_process(COMMAND grep -a -q -P "\\Q${text}\\E\\x00" "${program}" RESULT_VARIABLE status)
  else()
    execute_process(COMMAND grep -a -q -F -e "${text}" "${program}" RESULT_VARIABLE status)
  endif()
  if(status GREATER 1)
    message(FATAL_ERROR "grep could not read ${program}")
  endif()
  if(status EQUAL 0)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

set(failures "")
foreach(program IN ITEMS "${SERVICE}" "${TOOL}")
  if(NOT EXISTS "${program}")
    message(FATAL_ERROR "no program at ${program}")
  endif()
  foreach(text IN LISTS PH_OWN_TEXTS)
    ph_program_holds("${program}" "${text}" TRUE found)
    if(NOT found)
      list(APPEND failures "${program} lacks its family's \"${text}\"")
    endif()
  endforeach()
  foreach(text IN LISTS PH_FOREIGN_TEXTS)
    ph_program_holds("${program}" "${text}" FALSE found)
    if(found)
      list(APPEND failures "${program} holds another family's \"${text}\"")
    endif()
  endforeach()
endforeach()

list(LENGTH PH_OWN_TEXTS own)
list(LENGTH PH_FOREIGN_TEXTS foreign)
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "model rows differ from the family's:\n  ${text}")
endif()
message(STATUS "both programs hold the family's ${own} texts and none of ${foreign} foreign ones")
