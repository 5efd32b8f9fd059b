# Included by the main build: configures and builds fuzz/ with clang under
# <build>/fuzz and registers a CTest test "fuzz.<name>" (label "fuzz") for
# every fuzz/<name>.cpp. Each runs its target for KREL_FUZZ_SECONDS seconds
# (default 60). On by default in builds without sanitizers (the fuzz build
# brings its own); -DKREL_BUILD_FUZZ=OFF turns it off.
if(KREL_SANITIZE)
  set(krel_fuzz_default OFF)
else()
  set(krel_fuzz_default ON)
endif()
option(KREL_BUILD_FUZZ "Build the libFuzzer targets with clang and run them as tests" ${krel_fuzz_default})
if(NOT KREL_BUILD_FUZZ)
  return()
endif()

find_program(KREL_FUZZ_CXX NAMES clang++ clang++-14 clang++-15 clang++-16)
set(krel_fuzz_probe ${CMAKE_BINARY_DIR}/fuzz-probe)
file(WRITE ${krel_fuzz_probe}.cpp
  "#include <cstddef>\n#include <cstdint>\nextern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n")
if(KREL_FUZZ_CXX)
  execute_process(COMMAND ${KREL_FUZZ_CXX} -fsanitize=fuzzer,address,undefined ${krel_fuzz_probe}.cpp -o ${krel_fuzz_probe}
    RESULT_VARIABLE krel_fuzz_result OUTPUT_QUIET ERROR_QUIET)
endif()
if(NOT KREL_FUZZ_CXX OR NOT krel_fuzz_result EQUAL 0)
  message(FATAL_ERROR "The fuzz targets need clang with libFuzzer (Debian: clang, libclang-rt-14-dev; "
                      "scripts/setup.sh installs them). Configure with -DKREL_BUILD_FUZZ=OFF to build without.")
endif()

include(ExternalProject)
set(krel_fuzz_dir ${PROJECT_SOURCE_DIR}/fuzz)
set(krel_fuzz_build ${CMAKE_BINARY_DIR}/fuzz)
file(GLOB krel_fuzz_sources CONFIGURE_DEPENDS ${krel_fuzz_dir}/*.cpp)
set(krel_fuzz_executables "")
foreach(source IN LISTS krel_fuzz_sources)
  get_filename_component(name ${source} NAME_WE)
  list(APPEND krel_fuzz_executables ${krel_fuzz_build}/${name}_fuzzer)
endforeach()

ExternalProject_Add(krel_fuzz
  SOURCE_DIR ${krel_fuzz_dir}
  BINARY_DIR ${krel_fuzz_build}
  CMAKE_ARGS -DCMAKE_CXX_COMPILER=${KREL_FUZZ_CXX} -DCMAKE_BUILD_TYPE=
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${krel_fuzz_build} -j2
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${krel_fuzz_executables})

foreach(source IN LISTS krel_fuzz_sources)
  get_filename_component(name ${source} NAME_WE)
  add_test(NAME fuzz.${name}
    COMMAND sh ${krel_fuzz_dir}/run_fuzzer.sh ${krel_fuzz_build}/${name}_fuzzer
            ${krel_fuzz_dir}/corpus/${name} ${krel_fuzz_build}/work/${name} ${krel_fuzz_dir}/${name}.dict)
  # libFuzzer ends the run itself after KREL_FUZZ_SECONDS; this only
  # catches a run that never ends.
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 3600)
endforeach()
