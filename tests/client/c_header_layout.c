/* The C interface's header, strictly, as C99 and as C++98: the structures
 * keep the layout of 64-bit Windows even when the consumer packs to 1 byte. */
#pragma pack(1)
#include "morvex_client.h"
#pragma pack()

#include <stddef.h>

#define MORVEX_CHECK(name, condition) typedef char name[(condition) ? 1 : -1]

MORVEX_CHECK(connection_size, sizeof(morvex_connection) == 32);
MORVEX_CHECK(connection_location, offsetof(morvex_connection, location) == 8);
MORVEX_CHECK(status_size, sizeof(morvex_status) == 56);
MORVEX_CHECK(status_connected_at, offsetof(morvex_status, connected_at) == 8);
MORVEX_CHECK(status_connection, offsetof(morvex_status, connection) == 16);
MORVEX_CHECK(status_message, offsetof(morvex_status, message) == 48);
MORVEX_CHECK(capabilities_size, sizeof(morvex_capabilities) == 16);
MORVEX_CHECK(capabilities_message, offsetof(morvex_capabilities, wireguard_message) == 8);
MORVEX_CHECK(traffic_size, sizeof(morvex_traffic) == 16);
MORVEX_CHECK(profile_size, sizeof(morvex_profile) == 64);
MORVEX_CHECK(profile_location, offsetof(morvex_profile, location) == 8);
MORVEX_CHECK(profile_password, offsetof(morvex_profile, password) == 56);
