# Debian's hardening flags, for the target architecture.
#
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
  # A cross build asks for the flags of the architecture it builds for:
  # dpkg-buildflags answers for the build machine's unless told, and those may
  # hold what the cross compiler does not take (-fcf-protection on amd64).
  # The toolchain file names the Debian architecture (cmake/toolchains/);
  # another one gets it from its multiarch folder.
  set(ph_host_arch "")
  if(CMAKE_CROSSCOMPILING)
    if(NOT PH_DEB_HOST_ARCH AND CMAKE_LIBRARY_ARCHITECTURE)
      execute_process(COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
        OUTPUT_VARIABLE PH_DEB_HOST_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT PH_DEB_HOST_ARCH)
      message(FATAL_ERROR "a cross build needs PH_DEB_HOST_ARCH, the Debian architecture it builds for "
        "(set by cmake/toolchains/<arch>.cmake), to ask dpkg-buildflags for that architecture's flags")
    endif()
    set(ph_host_arch DEB_HOST_ARCH=${PH_DEB_HOST_ARCH})
    set(ph_host_arch_note " (${PH_DEB_HOST_ARCH})")
  endif()
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${ph_host_arch}
        ${PH_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*|ffile-prefix-map=.*|fdebug-prefix-map=.*)$")
    set(ph_${kind} ${flags})
  endforeach()
  message(STATUS "Debian hardening flags${ph_host_arch_note}: ${ph_CPPFLAGS} ${ph_CXXFLAGS} | link: ${ph_LDFLAGS}")
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
