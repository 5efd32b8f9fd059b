# Dependencies of the Windows cross build. The Windows calls come with
# MinGW-w64; fmt and nlohmann-json are used header-only from the host's
# Debian packages, and GoogleTest is built for the target from Debian's
# googletest sources. The host's /usr/include is never on the include path:
# only the two header folders are staged into the build folder.
find_package(Threads REQUIRED)

set(KREL_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${KREL_HOST_HEADERS})
foreach(dir fmt nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} fehlt (scripts/setup.sh installiert es)")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${KREL_HOST_HEADERS}/${dir} SYMBOLIC)
endforeach()

add_library(krel_fmt INTERFACE)
target_include_directories(krel_fmt SYSTEM INTERFACE ${KREL_HOST_HEADERS})
target_compile_definitions(krel_fmt INTERFACE FMT_HEADER_ONLY)
add_library(fmt::fmt ALIAS krel_fmt)

add_library(krel_json INTERFACE)
target_include_directories(krel_json SYSTEM INTERFACE ${KREL_HOST_HEADERS})
add_library(nlohmann_json::nlohmann_json ALIAS krel_json)

# Wide-character Windows calls, nothing from the rarely used parts of
# windows.h, and Windows 10 as the oldest target.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)

if(KREL_BUILD_TESTS)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Its project defines the GTest::gtest and GTest::gtest_main targets.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
