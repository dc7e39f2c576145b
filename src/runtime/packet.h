// The controller kernel's request packet. The kernel fixes this layout byte for
// byte; we read and write only the named fields and leave the rest alone.
#pragma once

#include <cstddef>
#include <cstdint>

// Request codes carried in Packet::request.
inline constexpr uint8_t F_READ = 6;
inline constexpr uint8_t F_WRITE = 7;
inline constexpr uint8_t F_DISCON = 11;
inline constexpr uint8_t F_LOGIN_NOTICE = 25;
inline constexpr uint8_t F_DISMOUNT = 45;
inline constexpr uint8_t F_CONNECT = 112;
inline constexpr uint8_t F_TLNTINP = 115;

// Send modes of rt_send_packet.
inline constexpr int32_t SEND_REPLY = 1;
inline constexpr int32_t SEND_NEW = 128;

inline constexpr bool kPointersAre32Bit = sizeof(void*) == 4;

// On 32-bit targets this is the kernel's own layout. On 64-bit builds the one
// address field, buffer, is 8 bytes wide (16..23), which moves length to 24 and
// actual to 26; every other offset is the same on both.
struct Packet {
    uint32_t link;
    uint8_t runtime4;
    uint8_t request;
    uint8_t runtime6;
    uint8_t replyTo;
    int32_t status;
    int32_t param1;
    uint8_t* buffer;
#if UINTPTR_MAX == 0xFFFFFFFFu
    uint8_t runtime20[2];
#endif
    uint16_t length;
    uint16_t actual;
#if UINTPTR_MAX == 0xFFFFFFFFu
    uint8_t runtime26[2];
#endif
    int32_t param2;
    int32_t param3;
};

static_assert(offsetof(Packet, link) == 0);
static_assert(offsetof(Packet, request) == 5);
static_assert(offsetof(Packet, replyTo) == 7);
static_assert(offsetof(Packet, status) == 8);
static_assert(offsetof(Packet, param1) == 12);
static_assert(offsetof(Packet, buffer) == 16);
static_assert(offsetof(Packet, length) == (kPointersAre32Bit ? 22 : 24));
static_assert(offsetof(Packet, actual) == (kPointersAre32Bit ? 24 : 26));
static_assert(offsetof(Packet, param2) == 28);
static_assert(offsetof(Packet, param3) == 32);
