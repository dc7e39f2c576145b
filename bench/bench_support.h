// What the benchmark's measurements share: clocks and statistics, a private
// network, child programs stopped by pid, and loopback clients that read as
// fast as they can or send as fast as they are let.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kelmor::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Seconds(Clock::duration duration);
double Median(std::vector<double> values);
// The value below which the fraction p of the values lie (nearest rank).
double Percentile(std::vector<double> values, double p);

// Enters a network namespace of its own with only loopback up; the reason
// when that failed, empty on success.
std::string EnterPrivateNetwork();

// CPU time (user and system) of this process so far.
double ProcessCpuSeconds();

// Peak resident set of a process, in KiB; 0 when unknown.
long PeakRssKib(pid_t pid);

// A temporary folder of the run, removed with its files at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A program we start and stop by its pid. Standard output goes to a pipe we
// can read lines from (when asked) or, like standard error, to a log file.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::string& logPath, bool pipeStdout = false,
          int stdinFd = -1);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    bool Running();
    // Reads standard output until a line holds text; that line, or empty.
    std::string WaitForLine(const std::string& text, std::chrono::milliseconds limit);
    // SIGTERM, a bounded wait, then SIGKILL.
    void Stop();

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string pending_;
    bool reaped_ = false;
};

// Where a program is on PATH (or the path itself when it has a slash); empty
// when it is not there.
std::string FindProgram(const std::string& name);

// Connects to 127.0.0.1:port, retrying while nothing listens yet; -1 when
// no connection came within limit.
int ConnectLoopback(uint16_t port, std::chrono::milliseconds limit);

// Clients that read everything that comes, as fast as they can, all on one
// thread, each counting its own bytes.
class Readers {
public:
    // Connects count clients; each sends greeting first (the answers to a
    // login exchange, say). Nothing runs until Start.
    Readers(uint16_t port, int count, const std::string& greeting);
    ~Readers();
    Readers(const Readers&) = delete;
    Readers& operator=(const Readers&) = delete;

    bool Connected() const { return connected_; }
    void Start();
    void Stop();
    // Bytes each client has received so far, summed.
    uint64_t TotalBytes() const;
    uint64_t LeastBytes() const;
    int Count() const { return static_cast<int>(sockets_.size()); }
    // Waits until every client has received at least bytes.
    bool WaitEach(uint64_t bytes, std::chrono::milliseconds limit) const;

private:
    void Run();

    std::vector<int> sockets_;
    std::unique_ptr<std::atomic<uint64_t>[]> received_;
    bool connected_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Writes chunks of one size into a descriptor as fast as it takes them.
class Producer {
public:
    Producer(int fd, size_t chunk);
    ~Producer();
    void Start();
    void Stop();
    uint64_t Written() const { return written_.load(std::memory_order_relaxed); }

private:
    int fd_;
    std::vector<uint8_t> chunk_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> written_{0};
    std::thread thread_;
};

// What the last RateOver saw besides the rate: this process's CPU seconds
// per counted unit over the window, all its threads together.
inline thread_local double lastCpuPerUnit = 0;

// Measures a rate: waits out a warm-up, then takes count() at the start and
// the end of the window; the count per second.
template <typename Count>
double RateOver(Count count, std::chrono::milliseconds warmUp, std::chrono::milliseconds window) {
    std::this_thread::sleep_for(warmUp);
    const uint64_t before = count();
    const double cpuBefore = ProcessCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(window);
    const uint64_t after = count();
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    lastCpuPerUnit = after > before ? cpu / static_cast<double>(after - before) : 0;
    return static_cast<double>(after - before) / Seconds(Clock::now() - start);
}

}  // namespace kelmor::bench
