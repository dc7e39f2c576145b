// The controller runtime operations the port library calls. They live in the
// controller's own libraries (on Linux, the stand-in runtime); every one
// returns 0 for success unless said otherwise.
#pragma once

#include <cstdint>

#include "runtime/packet.h"

// The pair of fault pointers handed to the fault filter: where the fault's
// record and processor context are (or are to be copied).
struct FaultInfo {
    void* record;
    void* context;
};

// A file of the kernel I/O library; 0 means none.
using RtFile = uintptr_t;

extern "C" {

// Controller kernel
int32_t rt_task_attach(const char* taskName);
int32_t rt_fault_filter(const char* taskName, FaultInfo* faultInfo, FaultInfo* platformFault);
int32_t rt_fault_handler(const char* taskName, FaultInfo* faultInfo);
int32_t rt_task_delete(int32_t task);
void* rt_global_block(int32_t block);
int32_t rt_receive_packet(int32_t zero, int32_t wait, Packet** packet, uint32_t* replyHandle,
                          uint32_t* ignored1, uint32_t* ignored2);
// token: the reply handle for SEND_REPLY, the packet itself for SEND_NEW.
int32_t rt_send_packet(Packet* packet, uint8_t destination, int32_t zero, int32_t mode,
                       uintptr_t token);
int32_t rt_delete_packet(Packet* packet);
int32_t rt_alloc(uint32_t size, int32_t zero, uint32_t* ignored, void** address);
int32_t rt_free(void* address);
int32_t rt_announce_service(int32_t service, const char* text, int32_t one, int32_t tcpPort);

// System utility library
int32_t rt_create_packet(int32_t zero, Packet** packet, int32_t zero2, uint8_t request);
int32_t rt_assert(const char* file, int32_t line, int32_t zero, int32_t value, const char* text);

// Kernel I/O library
int32_t rt_read_config_value(const char* key, const char* valueName, char* buffer, uint32_t size);
RtFile rt_file_open(const char* path, const char* mode);
int32_t rt_file_write(const void* data, uint16_t size, uint32_t count, RtFile file);
int32_t rt_file_close(RtFile file);
int32_t rt_console_printf(const char* format, ...);

// Variable manager
int32_t rt_var_get_element(void* table, int32_t index, void** element);

}  // extern "C"

// Byte offsets inside the global blocks.
inline constexpr int32_t kTaskBlock = 2;          // first byte: the running task's number
inline constexpr int32_t kSystemBlock = 1;
inline constexpr int32_t kLoginWordOffset = 316;  // copied into every login notice
inline constexpr int32_t kPortSetupOffset = 1104; // address of the port setup table
inline constexpr int32_t kPortFunctionOffset = 20; // in an element of that table
