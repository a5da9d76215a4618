/* A program built for Microsoft's ABI (clang, lld-link, no C runtime) that
 * uses morvex_client.dll through morvex_client.lib, as a Visual C++ app
 * would: a status, a connect with the WireGuard profile of the end-to-end
 * test, a disconnect. One line per call, "ACTION STATE [PUBLIC_ADDRESS]";
 * the first error ends it with "ACTION error: SENTENCE" and status 1.
 * With the argument "during", as an app whose user presses Disconnect while
 * a connect waits for its tunnel: the connect on a thread of its own, a
 * disconnect 1.5 s later, then a line saying whether the disconnect came
 * back within 5 s, then the connect's line. */
#include <stdint.h>

#include "morvex_client.h"

/* From kernel32.dll (32-bit DWORD and BOOL, pointer-sized HANDLE). */
void* GetStdHandle(uint32_t which);
int WriteFile(void* file, const void* data, uint32_t size, uint32_t* written, void* overlapped);
int lstrlenA(const char* text);
void ExitProcess(uint32_t code);
const char* GetCommandLineA(void);
void* CreateThread(void* attributes, size_t stack, uint32_t (*start)(void*), void* argument,
                   uint32_t flags, uint32_t* id);
uint32_t WaitForSingleObject(void* handle, uint32_t milliseconds);
void Sleep(uint32_t milliseconds);
uint32_t GetTickCount(void);

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

struct connect_call {
  morvex_client* client;
  morvex_error_kind kind;
  morvex_status* status;
  char* message;
};

static uint32_t run_connect(void* argument) {
  struct connect_call* call = (struct connect_call*)argument;
  call->kind = morvex_client_connect(call->client, &wireguard, MORVEX_DEFAULT_TIMEOUT,
                                     &call->status, &call->message);
  return 0;
}

static int ends_with_during(const char* line) {
  const int size = lstrlenA(line);
  const char* tail = line + size - 6;
  return size >= 6 && tail[0] == 'd' && tail[1] == 'u' && tail[2] == 'r' && tail[3] == 'i' &&
         tail[4] == 'n' && tail[5] == 'g';
}

static void disconnect_during_connect(morvex_client* client) {
  struct connect_call call = {client, MORVEX_OK, 0, 0};
  morvex_status* status = 0;
  char* message = 0;
  void* thread = CreateThread(0, 0, run_connect, &call, 0, 0);
  Sleep(1500);
  const uint32_t asked = GetTickCount();
  morvex_error_kind kind = morvex_client_disconnect(client, MORVEX_DEFAULT_TIMEOUT, &status,
                                                    &message);
  const uint32_t took = GetTickCount() - asked;
  report("disconnect", kind, status, message);
  put(took < 5000 ? "within 5 s\n" : "after 5 s or more\n");
  WaitForSingleObject(thread, 0xFFFFFFFFu);
  report("connect", call.kind, call.status, call.message);
}

void start(void) {
  morvex_client* client = morvex_client_create();
  morvex_status* status = 0;
  char* message = 0;
  morvex_error_kind kind;
  if (ends_with_during(GetCommandLineA())) {
    disconnect_during_connect(client);
    morvex_client_destroy(client);
    ExitProcess(0);
  }
  kind = morvex_client_status(client, MORVEX_DEFAULT_TIMEOUT, &status, &message);
  report("status", kind, status, message);
  kind = morvex_client_connect(client, &wireguard, MORVEX_DEFAULT_TIMEOUT, &status, &message);
  report("connect", kind, status, message);
  kind = morvex_client_disconnect(client, MORVEX_DEFAULT_TIMEOUT, &status, &message);
  report("disconnect", kind, status, message);
  morvex_client_destroy(client);
  ExitProcess(0);
}
