/* The Morvex VPN service's client as a C interface: morvex_client.dll.
 *
 * One handle talks to the service over its pipe. Every action is one call
 * that returns MORVEX_OK or the kind of its error; on an error the sentence
 * to show the user (UTF-8) comes back through `message`. Results and
 * messages are owned by the library: release each with morvex_free. Calls on
 * one handle may run on any threads at once.
 *
 * Plain C99 with fixed-width members, so that any toolchain (Visual C++,
 * mingw, clang) and any language with a C foreign-function interface can use
 * it; the DLL uses the platform's one 64-bit calling convention. */
#ifndef MORVEX_CLIENT_H
#define MORVEX_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What a call gave: MORVEX_OK, or what went wrong. The values never change;
 * new kinds get new values. */
typedef int32_t morvex_error_kind;
enum {
  MORVEX_OK = 0,
  MORVEX_ERROR_SERVICE = 1,         /* the service's own sentence for the user */
  MORVEX_ERROR_REFUSED = 2,         /* the service does not serve this program */
  MORVEX_ERROR_NO_SERVICE = 3,      /* the pipe is absent: the service is not running */
  MORVEX_ERROR_NOT_THE_SERVICE = 4, /* the pipe is held by a program other than the service */
  MORVEX_ERROR_BUSY = 5,            /* every pipe instance stayed busy until the deadline */
  MORVEX_ERROR_TIMED_OUT = 6,       /* no complete reply before the deadline */
  MORVEX_ERROR_BROKEN = 7,          /* the connection ended before a complete reply */
  MORVEX_ERROR_MALFORMED = 8,       /* a reply that the reply rules refuse */
  MORVEX_ERROR_INVALID_REQUEST = 9, /* the request cannot be sent as it stands, or an argument
                                       the call needs is NULL */
  MORVEX_ERROR_ABANDONED = 10,      /* morvex_client_abandon ended the call */
  MORVEX_ERROR_OUT_OF_MEMORY = 11   /* the library could not allocate what it needed */
};

/* The tunnel's state in a status. */
typedef int32_t morvex_state;
enum {
  MORVEX_STATE_DISCONNECTED = 0,
  MORVEX_STATE_CONNECTING = 1,
  MORVEX_STATE_CHECKING = 2,
  MORVEX_STATE_RECONNECTING = 3,
  MORVEX_STATE_DISCONNECTING = 4,
  MORVEX_STATE_CONNECTED = 5,
  MORVEX_STATE_ERROR = 6
};

/* A deadline of 0 milliseconds takes the action's default: 300 s for a
 * connect, 10 s for a cancel, 330 s for the others (they wait behind a
 * running connect). Otherwise the deadline covers the whole call. */
#define MORVEX_DEFAULT_TIMEOUT 0u

typedef struct morvex_client morvex_client; /* opaque */

/* The structures' layout does not depend on the consumer's packing (/Zp1,
 * #pragma pack(1)): every member lies at its natural place, as 64-bit Windows
 * lays them out by default. */
#pragma pack(push, 8)

/* Text members are UTF-8 and end with a NUL byte. */
typedef struct morvex_connection {
  int32_t server_id;
  const char* location;
  const char* protocol;
  const char* dns;
} morvex_connection;

typedef struct morvex_status {
  morvex_state state;
  int32_t has_connected_at;             /* 1 when connected_at holds a time */
  uint64_t connected_at;                /* milliseconds since 1970 (UTC) */
  const morvex_connection* connection;  /* NULL when none */
  const char* platform;
  const char* active_profile;           /* NULL when none */
  const char* public_address;           /* NULL when none */
  const char* message;
} morvex_status;

typedef struct morvex_capabilities {
  int32_t openvpn;   /* 1 when the engine is usable, else 0 */
  int32_t wireguard; /* 1 when the engine is usable, else 0 */
  const char* wireguard_message;
} morvex_capabilities;

/* Bytes through the tunnel. */
typedef struct morvex_traffic {
  uint64_t received;
  uint64_t sent;
} morvex_traffic;

/* A connect's profile. A NULL text is empty, except dns, whose NULL is
 * "server" (the server's own DNS servers). */
typedef struct morvex_profile {
  int32_t server_id;
  const char* location;
  const char* protocol; /* "wireguard" or "openvpn" */
  const char* config;   /* the profile text */
  const char* dns;
  const char* recovery_protocol;
  const char* username;
  const char* password;
} morvex_profile;

#pragma pack(pop)

/* A handle for the service's pipe, or NULL when memory ran out. */
morvex_client* morvex_client_create(void);
/* Releases the handle (NULL is ignored). No call on it may still run:
 * abandon them and let them return first. */
void morvex_client_destroy(morvex_client* client);

/* Every action: returns MORVEX_OK and sets *result to a value that
 * morvex_free releases, or returns the error's kind, sets *result to NULL and,
 * when message is not NULL, sets *message to the sentence for the user (to
 * release with morvex_free; NULL when even that could not be allocated). */
morvex_error_kind morvex_client_capabilities(morvex_client* client, uint32_t timeout_ms,
                                             morvex_capabilities** result, char** message);
/* A status call made while another of the same handle runs takes that
 * call's answer. */
morvex_error_kind morvex_client_status(morvex_client* client, uint32_t timeout_ms,
                                       morvex_status** result, char** message);
/* *result is NULL on success too when no tunnel is up. */
morvex_error_kind morvex_client_traffic(morvex_client* client, uint32_t timeout_ms,
                                        morvex_traffic** result, char** message);
/* Makes a running connect end as cancelled (it then gives the disconnected
 * status); safe from another thread while that connect waits. */
morvex_error_kind morvex_client_cancel(morvex_client* client, uint32_t timeout_ms,
                                       char** message);
morvex_error_kind morvex_client_disconnect(morvex_client* client, uint32_t timeout_ms,
                                           morvex_status** result, char** message);
morvex_error_kind morvex_client_connect(morvex_client* client, const morvex_profile* profile,
                                        uint32_t timeout_ms, morvex_status** result,
                                        char** message);

/* Makes the calls in flight on this handle return at once with
 * MORVEX_ERROR_ABANDONED (for example when the app closes). The service still
 * finishes what it was asked; a connect is not cancelled by this. It is for
 * good: every later call on the handle fails with MORVEX_ERROR_ABANDONED at
 * once; only morvex_client_destroy remains to be called. */
void morvex_client_abandon(morvex_client* client);

/* Releases a result or a message of this library (NULL is ignored). */
void morvex_free(void* value);

#ifdef __cplusplus
}
#endif

#endif /* MORVEX_CLIENT_H */
