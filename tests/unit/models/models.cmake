# Model table: the lookups over a table of the test's own, and every built
# family's generated table and programs.

ph_unit_test(models_lookup_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/MyPPDModelLookupTest.cpp LIBS phmodels)

foreach(f IN LISTS PH_BUILT_FAMILIES)
  set(gen ${CMAKE_BINARY_DIR}/tests/models/${f})
  set(own_texts "")
  set(foreign_texts "")
  set(foreign_cpp "")
  foreach(other IN LISTS PH_ALL_FAMILIES)
    foreach(row IN LISTS PH_FAMILY_${other}_MODEL_ROWS)
      string(REPLACE "|" ";" cols "${row}")
      list(GET cols 1 nickname)
      list(GET cols 2 key)
      if(other STREQUAL f)
        list(APPEND own_texts "FENWA" "${nickname}" "${key}")
      else()
        list(APPEND foreign_texts "${nickname}" "${key}")
        ph_cpp_string_literal("${nickname}" lit)
        string(APPEND foreign_cpp "    ${lit},\n")
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES own_texts)
  file(WRITE ${gen}/ForeignModels.h.in
    "// Generated: the nicknames of every other family's models.\n#pragma once\n"
    "static const char* const kForeignNicknames[] = {\n${foreign_cpp}    nullptr,\n};\n")
  configure_file(${gen}/ForeignModels.h.in ${gen}/ForeignModels.h COPYONLY)

  ph_unit_test(models_${f}_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/FamilyModelTableTest.cpp LIBS phfamily_${f})
  target_include_directories(models_${f}_test PRIVATE ${gen})
  target_compile_definitions(models_${f}_test PRIVATE
    PH_EXPECTED_MODEL_ROWS=${PH_FAMILY_${f}_MODEL_ROW_COUNT} PH_MODEL_SUITE=ModelTableOf_${f})

  # Neither program calls the lookups, so their rows are checked in the bytes
  # of the two executables themselves.
  file(WRITE ${gen}/texts.cmake.in
    "set(PH_OWN_TEXTS \"${own_texts}\")\nset(PH_FOREIGN_TEXTS \"${foreign_texts}\")\n")
  configure_file(${gen}/texts.cmake.in ${gen}/texts.cmake COPYONLY)
  add_test(NAME models_${f}_service_and_tool_carry_the_same_family_rows
    COMMAND ${CMAKE_COMMAND} -DTEXTS=${gen}/texts.cmake
      -DSERVICE=$<TARGET_FILE:printer-helper-service-${f}> -DTOOL=$<TARGET_FILE:printer-helper-tool-${f}>
      -P ${CMAKE_CURRENT_LIST_DIR}/CheckRowsInPrograms.cmake)
  set_tests_properties(models_${f}_service_and_tool_carry_the_same_family_rows PROPERTIES LABELS unit)
endforeach()
