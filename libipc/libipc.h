// The phone's message bus: one Unix stream socket per process under
// /var/ipc/<id>; one connection carries one message.
#pragma once

#include <stdint.h>

#define IPC_PATH_PREFIX "/var/ipc/"
#define IPC_HEADER_SIZE 20
#define IPC_MAX_DATA 2048
#define IPC_MAX_MSG (IPC_HEADER_SIZE + IPC_MAX_DATA)
#define IPC_FIRST_ID 1
#define IPC_LAST_ID 12

// Wire layout, host byte order.
struct ipc_msg {
  int32_t length;  // whole message, header included
  int32_t type;
  int32_t sender;
  int32_t param1;
  int32_t param2;
  unsigned char data[];  // 0 to 2048 bytes
};

typedef void (*ipc_callback)(ipc_msg* msg, void* user);

void ipc_register(int id);
int ipc_listen(ipc_callback callback, void* user);
int ipc_listen_thread(int sock);
int ipc_unregister();
int ipc_send(int dest, int type, int param1, int param2, const void* data, int len);
int ipc_broadcast(int type, int param1, int param2, const void* data, int len);
int get_quitflag();
int set_quitflag(int flag);
void libipc_show_version();

// How long the listener waits for a whole message before it drops the
// connection, so that a client that sends nothing, or a byte now and then,
// cannot stall it.
#define IPC_READ_TIMEOUT_MS 1000
