# The Morvex VPN service's client, as a static library: request builders, the
# reply reader and (on Windows) the Client that talks to the service's pipe.
#   find_package(MorvexClient CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE morvex::client)
if(NOT TARGET morvex::client)
  include("${CMAKE_CURRENT_LIST_DIR}/MorvexClientTargets.cmake")
endif()
