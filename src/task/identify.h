// The records the controller host hands the library when it loads it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/packet.h"

// The build marks the library's one export; the host sees a plain declaration.
#ifndef KELMOR_EXPORT
#define KELMOR_EXPORT
#endif

using TaskEntry = void (*)();

// Owned by the host; the library writes only entry, tag and setting. On 32-bit
// targets the offsets are the host's own; on 64-bit builds entry is 8 bytes
// wide and tag and setting keep their offsets.
struct TaskDescriptor {
    TaskEntry entry;
    uint8_t host[16 - sizeof(TaskEntry)];
    uint32_t tag;
    uint8_t host20[23];
    uint8_t setting;
};

// Owned by the host. descriptor sits at 4 on 32-bit targets and at 8 on
// 64-bit builds.
struct IdentifyRecord {
    uint8_t identified;
    TaskDescriptor* descriptor;
};

static_assert(offsetof(TaskDescriptor, entry) == 0);
static_assert(offsetof(TaskDescriptor, tag) == 16);
static_assert(offsetof(TaskDescriptor, setting) == 43);
static_assert(offsetof(IdentifyRecord, identified) == 0);
static_assert(offsetof(IdentifyRecord, descriptor) == (kPointersAre32Bit ? 4 : 8));

inline constexpr uint32_t kDescriptorTag = 0x53434344;  // "DCCS" in memory order
inline constexpr uint8_t kDescriptorSetting = 10;

extern "C" KELMOR_EXPORT int32_t IdentifyMyself(IdentifyRecord* pIdentify);
