# The Morvex VPN profile policy: the checks and rewriting that the service
# applies to every connect request, as a static library.
#   find_package(MorvexPolicy CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE morvex::policy)
# The library decodes WireGuard keys with libsodium, which the consumer links
# too. It is looked up like any library (CMAKE_PREFIX_PATH, or the find root
# of a cross toolchain); setting MorvexPolicy_SODIUM_LIBRARY to the library
# file skips the search.
find_library(MorvexPolicy_SODIUM_LIBRARY NAMES sodium libsodium
  DOC "libsodium, which morvex::policy links")
if(NOT MorvexPolicy_SODIUM_LIBRARY)
  set(MorvexPolicy_FOUND FALSE)
  set(MorvexPolicy_NOT_FOUND_MESSAGE
    "MorvexPolicy needs libsodium: install it or set MorvexPolicy_SODIUM_LIBRARY to its library file")
  return()
endif()

if(NOT TARGET morvex::policy)
  include("${CMAKE_CURRENT_LIST_DIR}/MorvexPolicyTargets.cmake")
  add_library(morvex::sodium UNKNOWN IMPORTED)
  set_target_properties(morvex::sodium PROPERTIES IMPORTED_LOCATION "${MorvexPolicy_SODIUM_LIBRARY}")
  set_property(TARGET morvex::policy APPEND PROPERTY INTERFACE_LINK_LIBRARIES
    "$<LINK_ONLY:morvex::sodium>")
endif()
