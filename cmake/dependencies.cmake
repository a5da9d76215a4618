# JSON: the header-only library, exposed through a build-local include folder so
# the cross build never sees the host's /usr/include.
set(MORVEX_JSON_INCLUDE "${CMAKE_BINARY_DIR}/third_party/include")
file(COPY /usr/include/nlohmann DESTINATION "${MORVEX_JSON_INCLUDE}")
add_library(morvex_json INTERFACE)
target_include_directories(morvex_json SYSTEM INTERFACE "${MORVEX_JSON_INCLUDE}")
target_compile_definitions(morvex_json INTERFACE JSON_USE_IMPLICIT_CONVERSIONS=0)

# libsodium: the system library natively; the setup step's static mingw build
# for Windows.
add_library(morvex_sodium INTERFACE)
if(WIN32)
  set(sodium_root "${MORVEX_CACHE}/mingw-sodium")
  if(NOT EXISTS "${sodium_root}/lib/libsodium.a")
    message(FATAL_ERROR "libsodium for mingw is missing: run scripts/setup.sh")
  endif()
  target_include_directories(morvex_sodium SYSTEM INTERFACE "${sodium_root}/include")
  target_link_libraries(morvex_sodium INTERFACE "${sodium_root}/lib/libsodium.a")
  target_compile_definitions(morvex_sodium INTERFACE SODIUM_STATIC)
else()
  find_library(SODIUM_LIBRARY sodium REQUIRED)
  target_link_libraries(morvex_sodium INTERFACE "${SODIUM_LIBRARY}")
endif()

# GoogleTest: the system package natively; built from the packaged sources for
# Windows.
if(MORVEX_TESTS AND NOT MORVEX_FUZZ)
  if(WIN32)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
    include(GoogleTest)
  endif()
endif()
