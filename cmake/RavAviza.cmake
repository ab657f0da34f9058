# Shared helpers for the project's targets.

# ravaviza_test(NAME name LABELS l1 [l2...] SOURCES s... [LIBS lib...])
# A GoogleTest executable whose cases are registered with ctest under the given labels.
function(ravaviza_test)
  cmake_parse_arguments(T "" "NAME" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/TestMain.cpp)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  target_compile_definitions(${T_NAME} PRIVATE
    RAVAVIZA_TEST_BINARY_DIR="${CMAKE_BINARY_DIR}"
    RAVAVIZA_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    RAVAVIZA_PYTHON="${RAVAVIZA_PYTHON}")
  # gtest_discover_tests splits a list of labels into separate properties on its way to the
  # generated script, so the labels are set by a script of our own that ctest reads after it.
  list(GET T_LABELS 0 _first)
  gtest_discover_tests(${T_NAME}
    PROPERTIES LABELS "${_first}" FIXTURES_REQUIRED machine_folders
    DISCOVERY_TIMEOUT 60)
  list(LENGTH T_LABELS _count)
  if(_count GREATER 1)
    set(_script "${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_labels.cmake")
    file(WRITE "${_script}"
      "if(DEFINED ${T_NAME}_TESTS)\n"
      "  set_tests_properties(\${${T_NAME}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_script}")
  endif()
endfunction()

# ravaviza_fuzz(NAME name SOURCES s... LIBS lib... CORPUS dir LABELS l...)
# With clang this is a libFuzzer target; with any other compiler a driver that replays the corpus,
# so the target always builds and its seed inputs run under ctest.
function(ravaviza_fuzz)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT RAVAVIZA_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Undefined behaviour ends the run like a crash, so the fuzzer keeps the input that caused it.
    target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
    # libFuzzer writes new inputs into its first corpus folder: keep that one in the build tree.
    set(_scratch ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}_corpus)
    file(MAKE_DIRECTORY ${_scratch})
    set(_args -runs=20000 -max_total_time=20 ${_scratch} ${F_CORPUS})
  else()
    target_sources(${F_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz/ReplayMain.cpp)
    set(_args ${F_CORPUS})
  endif()
  add_test(NAME ${F_NAME} COMMAND ${F_NAME} ${_args})
  set_tests_properties(${F_NAME} PROPERTIES LABELS "${F_LABELS};fuzz" TIMEOUT 120
    FIXTURES_REQUIRED machine_folders)
endfunction()

# Install layout: the product's absolute paths (platform/paths) relative to the install prefix,
# which is the filesystem root unless given; `DESTDIR=/tmp/x cmake --install build` lays out a
# tree that RAVAVIZA_ROOT=/tmp/x runs from.
set(RAVAVIZA_INSTALL_TOOLS usr/libexec/ravaviza)
set(RAVAVIZA_INSTALL_UI_APP Applications/Hux/Hux.app)
set(RAVAVIZA_INSTALL_FRAMEWORKS ${RAVAVIZA_INSTALL_UI_APP}/Contents/Frameworks)
set(RAVAVIZA_INSTALL_DAEMON ${RAVAVIZA_INSTALL_UI_APP}/Contents/Resources/Hollin.app/Contents/MacOS)
set(RAVAVIZA_INSTALL_REPORT_SERVICE ${RAVAVIZA_INSTALL_UI_APP}/Contents/Resources/Tamber.app/Contents/MacOS)
set(RAVAVIZA_INSTALL_SYSTEMD usr/lib/systemd/system)

# ravaviza_install_program(target destination)
# Installs a program; its run path finds the shared libraries relative to itself ($ORIGIN), so the
# installed tree works wherever it lies and never reaches back into the build tree.
function(ravaviza_install_program target destination)
  file(RELATIVE_PATH _rel /${destination} /${RAVAVIZA_INSTALL_FRAMEWORKS})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${_rel}")
  install(TARGETS ${target} RUNTIME DESTINATION ${destination})
endfunction()

# ravaviza_install_library(target)
# Installs a shared library into the frameworks folder of the app bundle.
function(ravaviza_install_library target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${target} LIBRARY DESTINATION ${RAVAVIZA_INSTALL_FRAMEWORKS} NAMELINK_SKIP)
endfunction()

# The header-only test helpers (temporary roots, file and process probes) for programs that are
# not built with ravaviza_test, such as the benchmarks.
if(NOT TARGET ravaviza_testsupport)
  add_library(ravaviza_testsupport INTERFACE)
endif()

# Each function and object in its own section, so the linker leaves out of a program what nothing
# in it reaches: the daemon's executable keeps about 0.25 MiB fewer pages resident.
option(RAVAVIZA_GC_SECTIONS "Drop unreached functions and data from programs" OFF)
if(RAVAVIZA_GC_SECTIONS)
  add_compile_options(-ffunction-sections -fdata-sections)
  add_link_options($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:LINKER:--gc-sections>)
endif()

# Link-time optimisation across the project's own code: the daemon's executable keeps about
# 0.4 MiB fewer pages resident. Off in the presets, as every test program's link then takes longer.
option(RAVAVIZA_LTO "Link the programs with link-time optimisation" OFF)
if(RAVAVIZA_LTO)
  include(CheckIPOSupported)
  check_ipo_supported(RESULT _ipo_supported OUTPUT _ipo_output LANGUAGES CXX)
  if(NOT _ipo_supported)
    message(FATAL_ERROR "RAVAVIZA_LTO: this compiler can't link with link-time optimisation: ${_ipo_output}")
  endif()
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
endif()
