# Installation, debian/control, the family selection, the units and the
# interface files. Only those that run programs (through a bus) run inside the
# sandbox.
set(PH_INSTALL_TESTS ${CMAKE_CURRENT_LIST_DIR})

ph_sandbox_test(installed_families_start_on_a_bus_that_knows_only_the_installed_tree TIMEOUT 120
  COMMAND ${PH_INSTALL_TESTS}/installed_family_test.sh ${CMAKE_BINARY_DIR} ${PH_BUILT_FAMILIES})
set_tests_properties(installed_families_start_on_a_bus_that_knows_only_the_installed_tree
  PROPERTIES SKIP_RETURN_CODE 77)

# debian/control has a package for every family of build-config/, as
# debian/gen-control.cmake writes it. The packages themselves are built and
# checked by scripts/deb-check (deb_package_test.sh, the autopkgtest).
add_test(NAME debian_control_names_a_package_for_every_family_of_build_config
  COMMAND ${CMAKE_COMMAND} -DCHECK=ON -P ${PROJECT_SOURCE_DIR}/debian/gen-control.cmake)
set_tests_properties(debian_control_names_a_package_for_every_family_of_build_config PROPERTIES LABELS unit)

add_test(NAME ph_families_selects_the_families_to_build
  COMMAND ${PH_INSTALL_TESTS}/family_selection_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/family-selection-test)
set_tests_properties(ph_families_selects_the_families_to_build PROPERTIES LABELS integration TIMEOUT 180)

add_test(NAME systemd_user_units_verify_and_are_named_by_the_activation_files
  COMMAND ${PH_INSTALL_TESTS}/systemd_units_test.sh ${CMAKE_BINARY_DIR} ${PH_BUILT_FAMILIES})
set_tests_properties(systemd_user_units_verify_and_are_named_by_the_activation_files
  PROPERTIES LABELS integration TIMEOUT 120 SKIP_RETURN_CODE 77)

ph_sandbox_test(introspection_files_match_what_the_running_services_answer AGENT TIMEOUT 120
  COMMAND ${PH_INSTALL_TESTS}/interface_file_test.sh ${CMAKE_BINARY_DIR})
