#include <cstdio>
#include <cstring>

#include "fault_platform.h"
#include "kernel_impl.h"

namespace kelmor::runtime {
namespace {

thread_local int currentTask = kNoTask;

constexpr const char* kOpNames[kOpCount] = {
    "rt_task_attach",     "rt_fault_filter",   "rt_fault_handler",  "rt_task_delete",
    "rt_global_block",    "rt_receive_packet", "rt_send_packet",    "rt_delete_packet",
    "rt_alloc",           "rt_free",           "rt_announce_service", "rt_create_packet",
    "rt_assert",          "rt_read_config_value", "rt_file_open",   "rt_file_write",
    "rt_file_close",      "rt_console_printf", "rt_var_get_element",
};

void DefaultEventSink(const KernelEvent& event) {
    if (event.kind == KernelEvent::Kind::Console) {
        std::fwrite(event.text.data(), 1, event.text.size(), stdout);
        std::fflush(stdout);
        return;
    }
    if (event.kind == KernelEvent::Kind::TaskAttached || event.kind == KernelEvent::Kind::TaskDeleted) {
        return;
    }
    std::fprintf(stderr, "[runtime] task %d: %s\n", event.task, event.text.c_str());
}

// Recursion the compiler can neither fold away nor see through.
int Overflow(int depth) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    int (*volatile self)(int) = Overflow;
    return self(depth + 1) + frame[0];
}

}  // namespace

int CurrentTask() { return currentTask; }

const char* OpName(Op op) { return kOpNames[static_cast<int>(op)]; }

std::optional<Op> OpFromName(std::string_view name) {
    for (int i = 0; i < kOpCount; ++i) {
        if (name == kOpNames[i] || (name.size() + 3 == std::strlen(kOpNames[i]) && name == kOpNames[i] + 3)) {
            return static_cast<Op>(i);
        }
    }
    return std::nullopt;
}

Kernel& Kernel::Get() {
    // Never destroyed: task threads may still be inside the kernel at exit.
    static Kernel* kernel = new Kernel();
    return *kernel;
}

Kernel::Kernel() : impl_(new Impl()) { impl_->eventSink = DefaultEventSink; }

Task* Kernel::Impl::FindTask(int number) {
    if (number < 0 || number > 255) {
        return nullptr;
    }
    return tasks[number].get();
}

void Kernel::Impl::Emit(const KernelEvent& event) {
    std::lock_guard lock(sinkMutex);
    if (eventSink) {
        eventSink(event);
    }
}

bool Kernel::Impl::Intercept(Op op) {
    const int task = currentTask;
    calls[256][static_cast<int>(op)].fetch_add(1, std::memory_order_relaxed);
    if (task >= 0) {
        calls[task][static_cast<int>(op)].fetch_add(1, std::memory_order_relaxed);
    }
    if (tracing.load(std::memory_order_relaxed)) {
        std::lock_guard lock(mutex);
        trace.emplace_back(task, op);
    }
    if (!anyInjection.load(std::memory_order_acquire)) {
        return false;
    }
    std::optional<Injection> hit;
    {
        std::lock_guard lock(injectionMutex);
        for (InjectionRule& rule : injections) {
            const Injection& wanted = rule.injection;
            if (wanted.op != op || (wanted.task != kAnyTask && wanted.task != task)) {
                continue;
            }
            ++rule.seen;
            if (rule.seen == wanted.nth || (wanted.fromThenOn && rule.seen > wanted.nth)) {
                hit = wanted;
            }
        }
    }
    if (!hit) {
        return false;
    }
    // Raised with no kernel lock held, so a task abandoned by its fault guard
    // leaves the kernel usable.
    switch (hit->action) {
        case InjectAction::Fail:
            return true;
        case InjectAction::RaiseSignal:
            RaiseFault(hit->signal);
            return false;
        case InjectAction::StackOverflow:
            Overflow(0);
            return false;
    }
    return false;
}

void Kernel::CreateTask(uint8_t number, std::string name) {
    std::lock_guard lock(impl_->mutex);
    auto& slot = impl_->tasks[number];
    if (!slot) {
        slot = std::make_unique<Task>();
        slot->number = number;
        slot->block[0] = number;
    }
    if (!name.empty()) {
        slot->name = std::move(name);
    }
}

void Kernel::StartTask(uint8_t number, void (*entry)()) {
    CreateTask(number);
    std::lock_guard lock(impl_->mutex);
    Task& task = *impl_->tasks[number];
    task.ended = false;
    task.thread = std::thread([this, number, entry] {
        currentTask = number;
        entry();
        currentTask = kNoTask;
        std::lock_guard done(impl_->mutex);
        impl_->tasks[number]->ended = true;
        impl_->taskEnded.notify_all();
    });
}

void Kernel::AttachThread(uint8_t number, std::string name) {
    CreateTask(number, std::move(name));
    std::lock_guard lock(impl_->mutex);
    impl_->tasks[number]->ended = false;
    currentTask = number;
}

void Kernel::DetachThread() {
    std::lock_guard lock(impl_->mutex);
    if (Task* task = impl_->FindTask(currentTask)) {
        task->ended = true;
        impl_->taskEnded.notify_all();
    }
    currentTask = kNoTask;
}

bool Kernel::WaitTaskEnded(uint8_t number, std::chrono::milliseconds limit) {
    std::unique_lock lock(impl_->mutex);
    return impl_->taskEnded.wait_for(lock, limit, [&] {
        Task* task = impl_->FindTask(number);
        return task == nullptr || task->ended;
    });
}

bool Kernel::TaskEnded(uint8_t number) {
    std::lock_guard lock(impl_->mutex);
    Task* task = impl_->FindTask(number);
    return task == nullptr || task->ended;
}

int Kernel::DeleteCount(uint8_t number) {
    std::lock_guard lock(impl_->mutex);
    Task* task = impl_->FindTask(number);
    return task == nullptr ? 0 : task->deletes;
}

std::string Kernel::TaskName(uint8_t number) {
    std::lock_guard lock(impl_->mutex);
    Task* task = impl_->FindTask(number);
    return task == nullptr ? std::string() : task->name;
}

bool Kernel::JoinTasks(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool allJoined = true;
    for (int number = 0; number < 256; ++number) {
        std::unique_lock lock(impl_->mutex);
        Task* task = impl_->FindTask(number);
        if (task == nullptr || !task->thread.joinable()) {
            continue;
        }
        // A task may delete itself and still be on its way out of its entry.
        if (!impl_->taskEnded.wait_until(lock, deadline, [&] { return task->ended; })) {
            allJoined = false;
            continue;
        }
        std::thread thread = std::move(task->thread);
        lock.unlock();
        thread.join();
    }
    for (auto& sink : impl_->sinkThreads) {
        if (sink->joinable()) {
            sink->join();
        }
    }
    impl_->sinkThreads.clear();
    return allJoined;
}

void Kernel::Reset() {
    {
        std::lock_guard lock(impl_->mutex);
        for (auto& task : impl_->tasks) {
            if (task && !task->thread.joinable()) {
                task->ended = true;  // sinks and attached threads
            }
        }
        impl_->taskEnded.notify_all();
        for (auto& task : impl_->tasks) {
            if (task) {
                task->arrived.notify_all();
            }
        }
    }
    JoinTasks(std::chrono::seconds(10));
    std::lock_guard lock(impl_->mutex);
    for (auto& [packet, queued] : impl_->packets) {
        delete packet;
    }
    impl_->packets.clear();
    for (auto& [buffer, size] : impl_->buffers) {
        std::free(buffer);
    }
    impl_->buffers.clear();
    for (RtFile file : impl_->files) {
        std::fclose(reinterpret_cast<FILE*>(file));
    }
    impl_->files.clear();
    for (auto& task : impl_->tasks) {
        if (task && task->thread.joinable()) {
            task->thread.detach();  // a task that never ended; nothing else to do with it
        }
        task.reset();
    }
    impl_->replyHandles.clear();
    impl_->nextReplyHandle = 1;
    impl_->systemBlock.fill(0);
    impl_->portSetup.reset();
    impl_->config.Clear();
    impl_->verdict = 1;
    impl_->faultCount = 0;
    impl_->handledFaults.clear();
    {
        std::lock_guard injectionLock(impl_->injectionMutex);
        impl_->injections.clear();
        impl_->anyInjection = false;
    }
    for (auto& perTask : impl_->calls) {
        for (auto& count : perTask) {
            count = 0;
        }
    }
    impl_->tracing = false;
    impl_->trace.clear();
    impl_->asserts.clear();
    impl_->announcements.clear();
    impl_->console.clear();
}

int32_t Kernel::Request(uint8_t from, uint8_t to, Packet* packet) {
    std::unique_lock lock(impl_->mutex);
    Task* requester = impl_->FindTask(from);
    Task* target = impl_->FindTask(to);
    auto live = impl_->packets.find(packet);
    if (requester == nullptr || target == nullptr || target->ended || live == impl_->packets.end() ||
        live->second) {
        return kFailed;
    }
    packet->replyTo = from;
    const uint32_t handle = impl_->nextReplyHandle++;
    impl_->replyHandles[handle] = from;
    live->second = true;
    target->queue.push_back({packet, handle, from});
    lock.unlock();  // as in rt_send_packet
    target->arrived.notify_all();
    return 0;
}

Packet* Kernel::NewRequest(uint8_t code, std::string_view data, size_t bufferSize) {
    Packet* packet = nullptr;
    if (rt_create_packet(0, &packet, 0, code) != 0) {
        return nullptr;
    }
    const size_t size = std::max(data.size(), bufferSize);
    if (size > 0) {
        void* buffer = nullptr;
        uint32_t ignored = 0;
        if (rt_alloc(static_cast<uint32_t>(size), 0, &ignored, &buffer) != 0) {
            rt_delete_packet(packet);
            return nullptr;
        }
        std::memset(buffer, 0, size);
        if (!data.empty()) {
            std::memcpy(buffer, data.data(), data.size());
        }
        packet->buffer = static_cast<uint8_t*>(buffer);
    }
    packet->length = static_cast<uint16_t>(data.size());
    return packet;
}

bool Kernel::ReleaseRequest(Packet* packet) {
    const bool freed = packet->buffer == nullptr || rt_free(packet->buffer) == 0;
    return rt_delete_packet(packet) == 0 && freed;
}

std::optional<Delivery> Kernel::Await(uint8_t number, std::chrono::milliseconds limit) {
    std::unique_lock lock(impl_->mutex);
    Task* task = impl_->FindTask(number);
    if (task == nullptr) {
        return std::nullopt;
    }
    task->arrived.wait_for(lock, limit, [&] { return !task->queue.empty() || task->ended; });
    if (task->queue.empty()) {
        return std::nullopt;
    }
    Delivery delivery = task->queue.front();
    task->queue.pop_front();
    impl_->packets[delivery.packet] = false;
    return delivery;
}

void Kernel::StartSink(uint8_t number, std::string name, std::function<void(const Packet&, int)> onPacket) {
    CreateTask(number, std::move(name));
    {
        std::lock_guard lock(impl_->mutex);
        impl_->tasks[number]->ended = false;
    }
    impl_->sinkThreads.push_back(std::make_unique<std::thread>([this, number, onPacket] {
        for (;;) {
            // What is queued is still taken after the sink has been told to end.
            std::optional<Delivery> delivery = Await(number, std::chrono::milliseconds(100));
            if (!delivery) {
                if (TaskEnded(number)) {
                    break;
                }
                continue;
            }
            onPacket(*delivery->packet, delivery->sender);
            std::lock_guard lock(impl_->mutex);
            if (auto buffer = impl_->buffers.find(delivery->packet->buffer); buffer != impl_->buffers.end()) {
                std::free(buffer->first);
                impl_->buffers.erase(buffer);
            }
            impl_->packets.erase(delivery->packet);
            delete delivery->packet;
        }
    }));
}

PortTraffic Kernel::Traffic(uint8_t number) {
    std::lock_guard lock(impl_->mutex);
    Task* task = impl_->FindTask(number);
    return task == nullptr ? PortTraffic{} : task->traffic;
}

ConfigStore& Kernel::Config() { return impl_->config; }

void Kernel::SetLoginWord(uint32_t word) {
    std::lock_guard lock(impl_->mutex);
    std::memcpy(&impl_->systemBlock[kLoginWordOffset], &word, sizeof word);
}

void Kernel::SetPortFunction(int portDigit, int32_t code) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->portSetup) {
        impl_->portSetup = std::make_unique<PortSetupTable>();
        PortSetupTable* table = impl_->portSetup.get();
        std::memcpy(&impl_->systemBlock[kPortSetupOffset], &table, sizeof table);
    }
    if (portDigit >= 0 && portDigit < kPortSetupElements) {
        std::memcpy(&impl_->portSetup->elements[portDigit][kPortFunctionOffset], &code, sizeof code);
    }
}

void Kernel::SetFaultVerdict(int32_t verdict) { impl_->verdict = verdict; }

void Kernel::Inject(const Injection& injection) {
    std::lock_guard lock(impl_->injectionMutex);
    impl_->injections.push_back({injection, 0});
    impl_->anyInjection = true;
}

void Kernel::ClearInjections() {
    std::lock_guard lock(impl_->injectionMutex);
    impl_->injections.clear();
    impl_->anyInjection = false;
}

uint64_t Kernel::Calls(Op op, int task) {
    return impl_->calls[task == kAnyTask ? 256 : task][static_cast<int>(op)].load();
}

void Kernel::SetTracing(bool on) { impl_->tracing = on; }

std::vector<std::pair<int, Op>> Kernel::Trace() {
    std::lock_guard lock(impl_->mutex);
    return impl_->trace;
}

std::vector<AssertReport> Kernel::Asserts() {
    std::lock_guard lock(impl_->mutex);
    return impl_->asserts;
}

std::vector<Announcement> Kernel::Announcements() {
    std::lock_guard lock(impl_->mutex);
    return impl_->announcements;
}

std::vector<FaultReport> Kernel::Faults() {
    std::vector<FaultReport> faults;
    const int count = std::min(impl_->faultCount.load(), kFaultSlots);
    for (int i = 0; i < count; ++i) {
        const char* name = impl_->faultName[i].load();
        faults.push_back({impl_->faultTask[i].load(), impl_->faultSignal[i].load(), name ? name : ""});
    }
    return faults;
}

std::vector<FaultReport> Kernel::HandledFaults() {
    std::lock_guard lock(impl_->mutex);
    return impl_->handledFaults;
}

std::string Kernel::ConsoleText() {
    std::lock_guard lock(impl_->mutex);
    return impl_->console;
}

size_t Kernel::LivePackets() {
    std::lock_guard lock(impl_->mutex);
    return impl_->packets.size();
}

size_t Kernel::LiveBuffers() {
    std::lock_guard lock(impl_->mutex);
    return impl_->buffers.size();
}

size_t Kernel::OpenFiles() {
    std::lock_guard lock(impl_->mutex);
    return impl_->files.size();
}

void Kernel::SetEventSink(std::function<void(const KernelEvent&)> sink) {
    std::lock_guard lock(impl_->sinkMutex);
    impl_->eventSink = sink ? std::move(sink) : DefaultEventSink;
}

}  // namespace kelmor::runtime
