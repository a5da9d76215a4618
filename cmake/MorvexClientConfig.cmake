# The Morvex VPN service's client, as a static library: request builders, the
# reply reader and (on Windows) the Client that talks to the service's pipe.
#   find_package(MorvexClient CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE morvex::client)
# From a Windows build also as morvex_client.dll with a C interface
# (morvex_client.h): target morvex::client_dll; the DLL lies in bin/, and
# lib/ holds morvex_client.lib for Microsoft's linker.
if(NOT TARGET morvex::client)
  include("${CMAKE_CURRENT_LIST_DIR}/MorvexClientTargets.cmake")
endif()
