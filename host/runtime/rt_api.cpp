// The controller runtime operations, as the port library calls them.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fault_platform.h"
#include "kernel_impl.h"

using kelmor::runtime::CurrentTask;
using kelmor::runtime::Delivery;
using kelmor::runtime::Kernel;
using kelmor::runtime::KernelEvent;
using kelmor::runtime::Op;
using kelmor::runtime::Task;

namespace {

constexpr const char* kMachinePrefix = "HKEY_LOCAL_MACHINE\\";

Kernel::Impl& K() { return Kernel::Get().impl(); }

void Emit(KernelEvent::Kind kind, std::string text) { K().Emit({kind, CurrentTask(), std::move(text)}); }

void CountAnswer(kelmor::runtime::PortTraffic& traffic, const Packet& answer) {
    ++traffic.requests;
    if (answer.request == F_WRITE) {
        traffic.bytesWritten += answer.actual;
    } else if (answer.request == F_READ) {
        traffic.bytesRead += answer.actual;
    }
}

}  // namespace

extern "C" {

int32_t rt_task_attach(const char* taskName) {
    if (K().Intercept(Op::TaskAttach)) {
        return kelmor::runtime::kInjected;
    }
    {
        std::lock_guard lock(K().mutex);
        Task* task = K().FindTask(CurrentTask());
        if (task == nullptr) {
            return kelmor::runtime::kFailed;
        }
        task->name = taskName;
    }
    Emit(KernelEvent::Kind::TaskAttached, taskName);
    return 0;
}

// Called from a signal handler: no locks, no allocation.
int32_t rt_fault_filter(const char* taskName, FaultInfo* faultInfo, FaultInfo* platformFault) {
    auto& k = K();
    k.calls[256][static_cast<int>(Op::FaultFilter)].fetch_add(1);
    const int task = CurrentTask();
    if (task >= 0) {
        k.calls[task][static_cast<int>(Op::FaultFilter)].fetch_add(1);
    }
    kelmor::runtime::CopyFault(*faultInfo, *platformFault);
    const int slot = k.faultCount.fetch_add(1);
    if (slot < kelmor::runtime::kFaultSlots) {
        k.faultTask[slot] = task;
        k.faultSignal[slot] = kelmor::runtime::FaultCode(*platformFault);
        k.faultName[slot] = taskName;
    }
    return k.verdict.load();
}

int32_t rt_fault_handler(const char* taskName, FaultInfo* faultInfo) {
    K().Intercept(Op::FaultHandler);
    const int code = kelmor::runtime::FaultCode(*faultInfo);
    {
        std::lock_guard lock(K().mutex);
        K().handledFaults.push_back({CurrentTask(), code, taskName});
    }
    Emit(KernelEvent::Kind::FaultHandled,
         std::string(taskName) + " fault handled (" + kelmor::runtime::DescribeFault(code) + ")");
    return 0;
}

int32_t rt_task_delete(int32_t which) {
    if (K().Intercept(Op::TaskDelete)) {
        return kelmor::runtime::kInjected;
    }
    if (which != 0) {
        return kelmor::runtime::kFailed;
    }
    {
        std::lock_guard lock(K().mutex);
        Task* task = K().FindTask(CurrentTask());
        if (task == nullptr) {
            return kelmor::runtime::kFailed;
        }
        ++task->deletes;
        task->ended = true;
        K().taskEnded.notify_all();
    }
    Emit(KernelEvent::Kind::TaskDeleted, "deleted");
    return 0;
}

void* rt_global_block(int32_t block) {
    if (K().Intercept(Op::GlobalBlock)) {
        return nullptr;
    }
    if (block == kSystemBlock) {
        return K().systemBlock.data();
    }
    if (block == kTaskBlock) {
        std::lock_guard lock(K().mutex);
        Task* task = K().FindTask(CurrentTask());
        return task == nullptr ? nullptr : task->block.data();
    }
    return nullptr;
}

int32_t rt_receive_packet(int32_t, int32_t wait, Packet** packet, uint32_t* replyHandle, uint32_t* ignored1,
                          uint32_t* ignored2) {
    if (K().Intercept(Op::ReceivePacket)) {
        return kelmor::runtime::kInjected;
    }
    *ignored1 = 0;
    *ignored2 = 0;
    std::unique_lock lock(K().mutex);
    Task* task = K().FindTask(CurrentTask());
    if (task == nullptr) {
        return kelmor::runtime::kFailed;
    }
    if (wait > 0) {
        task->arrived.wait_for(lock, std::chrono::milliseconds(wait), [&] { return !task->queue.empty(); });
    }
    if (task->queue.empty()) {
        return kelmor::runtime::kNoPacket;
    }
    const Delivery delivery = task->queue.front();
    task->queue.pop_front();
    K().packets[delivery.packet] = false;
    *packet = delivery.packet;
    *replyHandle = delivery.replyHandle;
    return 0;
}

int32_t rt_send_packet(Packet* packet, uint8_t destination, int32_t, int32_t mode, uintptr_t token) {
    if (K().Intercept(Op::SendPacket)) {
        return kelmor::runtime::kInjected;
    }
    std::unique_lock lock(K().mutex);
    auto live = K().packets.find(packet);
    if (live == K().packets.end() || live->second) {
        return kelmor::runtime::kFailed;  // not a packet the caller holds
    }
    Task* receiver = nullptr;
    if (mode == SEND_NEW) {
        if (token != reinterpret_cast<uintptr_t>(packet)) {
            return kelmor::runtime::kFailed;
        }
        receiver = K().FindTask(destination);
    } else if (mode == SEND_REPLY) {
        auto handle = K().replyHandles.find(static_cast<uint32_t>(token));
        if (handle == K().replyHandles.end()) {
            return kelmor::runtime::kFailed;  // answered twice, or never asked
        }
        receiver = K().FindTask(handle->second);
        if (receiver != nullptr && !receiver->ended) {
            K().replyHandles.erase(handle);
        }
    } else {
        return kelmor::runtime::kFailed;
    }
    if (receiver == nullptr || receiver->ended) {
        return kelmor::runtime::kFailed;
    }
    live->second = true;
    if (Task* sender = K().FindTask(CurrentTask()); sender != nullptr && mode == SEND_REPLY) {
        CountAnswer(sender->traffic, *packet);
    }
    receiver->queue.push_back({packet, 0, CurrentTask()});
    // Woken after the lock is let go, so the receiver does not wake only to
    // wait for it again. Tasks live until the kernel's reset.
    lock.unlock();
    receiver->arrived.notify_all();
    return 0;
}

int32_t rt_delete_packet(Packet* packet) {
    if (K().Intercept(Op::DeletePacket)) {
        return kelmor::runtime::kInjected;
    }
    std::lock_guard lock(K().mutex);
    auto live = K().packets.find(packet);
    if (live == K().packets.end() || live->second) {
        return kelmor::runtime::kFailed;
    }
    K().packets.erase(live);
    delete packet;
    return 0;
}

int32_t rt_alloc(uint32_t size, int32_t, uint32_t* ignored, void** address) {
    if (K().Intercept(Op::Alloc)) {
        return kelmor::runtime::kInjected;
    }
    *ignored = 0;
    void* buffer = std::malloc(size == 0 ? 1 : size);
    if (buffer == nullptr) {
        return kelmor::runtime::kFailed;
    }
    std::lock_guard lock(K().mutex);
    K().buffers[buffer] = size;
    *address = buffer;
    return 0;
}

int32_t rt_free(void* address) {
    if (K().Intercept(Op::Free)) {
        return kelmor::runtime::kInjected;
    }
    std::lock_guard lock(K().mutex);
    auto live = K().buffers.find(address);
    if (live == K().buffers.end()) {
        return kelmor::runtime::kFailed;
    }
    std::free(address);
    K().buffers.erase(live);
    return 0;
}

int32_t rt_announce_service(int32_t service, const char* text, int32_t one, int32_t tcpPort) {
    if (K().Intercept(Op::AnnounceService)) {
        return kelmor::runtime::kInjected;
    }
    {
        std::lock_guard lock(K().mutex);
        K().announcements.push_back({CurrentTask(), service, text, one, tcpPort});
    }
    Emit(KernelEvent::Kind::Announcement, "service " + std::to_string(service) + " \"" + text + "\" on TCP port " +
                                              std::to_string(tcpPort));
    return 0;
}

int32_t rt_create_packet(int32_t, Packet** packet, int32_t, uint8_t request) {
    if (K().Intercept(Op::CreatePacket)) {
        return kelmor::runtime::kInjected;
    }
    auto* made = new Packet{};
    made->request = request;
    std::lock_guard lock(K().mutex);
    K().packets[made] = false;
    *packet = made;
    return 0;
}

int32_t rt_assert(const char* file, int32_t line, int32_t, int32_t value, const char* text) {
    K().Intercept(Op::Assert);
    {
        std::lock_guard lock(K().mutex);
        K().asserts.push_back({CurrentTask(), file, line, value, text});
    }
    Emit(KernelEvent::Kind::Assert, std::string(text) + " failed at " + file + ":" + std::to_string(line));
    return 0;
}

int32_t rt_read_config_value(const char* key, const char* valueName, char* buffer, uint32_t size) {
    if (K().Intercept(Op::ReadConfigValue)) {
        return kelmor::runtime::kInjected;
    }
    auto value = K().config.Get(std::string(kMachinePrefix) + key, valueName);
    if (!value) {
        return kelmor::runtime::kNotFound;
    }
    if (!value->isText) {
        return kelmor::runtime::kWrongType;
    }
    // Like a registry read into a buffer too small for the text and its zero.
    if (value->text.size() + 1 > size) {
        return kelmor::runtime::kMoreData;
    }
    std::memcpy(buffer, value->text.c_str(), value->text.size() + 1);
    return 0;
}

RtFile rt_file_open(const char* path, const char* mode) {
    if (K().Intercept(Op::FileOpen)) {
        return 0;
    }
    FILE* file = std::fopen(path, mode);
    if (file == nullptr) {
        return 0;
    }
    const auto handle = reinterpret_cast<RtFile>(file);
    std::lock_guard lock(K().mutex);
    K().files.insert(handle);
    return handle;
}

int32_t rt_file_write(const void* data, uint16_t size, uint32_t count, RtFile file) {
    if (K().Intercept(Op::FileWrite)) {
        return kelmor::runtime::kInjected;
    }
    {
        std::lock_guard lock(K().mutex);
        if (K().files.count(file) == 0) {
            return kelmor::runtime::kFailed;
        }
    }
    if (size == 0 || count == 0) {
        return 0;
    }
    return std::fwrite(data, size, count, reinterpret_cast<FILE*>(file)) == count ? 0 : kelmor::runtime::kFailed;
}

int32_t rt_file_close(RtFile file) {
    if (K().Intercept(Op::FileClose)) {
        return kelmor::runtime::kInjected;
    }
    {
        std::lock_guard lock(K().mutex);
        if (K().files.erase(file) == 0) {
            return kelmor::runtime::kFailed;
        }
    }
    return std::fclose(reinterpret_cast<FILE*>(file)) == 0 ? 0 : kelmor::runtime::kFailed;
}

int32_t rt_console_printf(const char* format, ...) {
    if (K().Intercept(Op::ConsolePrintf)) {
        return kelmor::runtime::kInjected;
    }
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    {
        std::lock_guard lock(K().mutex);
        K().console += text;
    }
    Emit(KernelEvent::Kind::Console, text);
    return 0;
}

int32_t rt_var_get_element(void* table, int32_t index, void** element) {
    if (K().Intercept(Op::VarGetElement)) {
        return kelmor::runtime::kInjected;
    }
    std::lock_guard lock(K().mutex);
    auto* known = K().portSetup.get();
    if (known == nullptr || table != known || index < 0 || index >= kelmor::runtime::kPortSetupElements) {
        return kelmor::runtime::kFailed;
    }
    *element = known->elements[index].data();
    return 0;
}

}  // extern "C"
