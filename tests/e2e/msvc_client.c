/* A program built for Microsoft's ABI (clang, lld-link, no C runtime) that
 * uses morvex_client.dll through morvex_client.lib, as a Visual C++ app
 * would: a status, a connect with the WireGuard profile of the end-to-end
 * test, a disconnect. One line per call, "ACTION STATE [PUBLIC_ADDRESS]";
 * the first error ends it with "ACTION error: SENTENCE" and status 1. */
#include <stdint.h>

#include "morvex_client.h"

/* From kernel32.dll (32-bit DWORD and BOOL, pointer-sized HANDLE). */
void* GetStdHandle(uint32_t which);
int WriteFile(void* file, const void* data, uint32_t size, uint32_t* written, void* overlapped);
int lstrlenA(const char* text);
void ExitProcess(uint32_t code);

static void put(const char* text) {
  uint32_t written = 0;
  WriteFile(GetStdHandle((uint32_t)-11), text, (uint32_t)lstrlenA(text), &written, 0);
}

static const char* const states[] = {"disconnected",  "connecting", "checking", "reconnecting",
                                     "disconnecting", "connected",  "error"};

static void report(const char* action, morvex_error_kind kind, morvex_status* status,
                   char* message) {
  put(action);
  if (kind != MORVEX_OK) {
    put(" error: ");
    put(message);
    put("\n");
    ExitProcess(1);
  }
  put(" ");
  put(states[status->state]);
  if (status->public_address != 0) {
    put(" ");
    put(status->public_address);
  }
  put("\n");
  morvex_free(status);
}

static const morvex_profile wireguard = {
    7,
    "Oslo",
    "wireguard",
    "[Interface]\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\n"
    "Address = 10.64.0.2/32\n[Peer]\n"
    "PublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\n"
    "AllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 198.51.100.7:51820\n",
    "quad9",
    0,
    "demo",
    "demo-secret"};

void start(void) {
  morvex_client* client = morvex_client_create();
  morvex_status* status = 0;
  char* message = 0;
  morvex_error_kind kind = morvex_client_status(client, MORVEX_DEFAULT_TIMEOUT, &status, &message);
  report("status", kind, status, message);
  kind = morvex_client_connect(client, &wireguard, MORVEX_DEFAULT_TIMEOUT, &status, &message);
  report("connect", kind, status, message);
  kind = morvex_client_disconnect(client, MORVEX_DEFAULT_TIMEOUT, &status, &message);
  report("disconnect", kind, status, message);
  morvex_client_destroy(client);
  ExitProcess(0);
}
