#include "bench_support.h"

#include "loopback_namespace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace kelmor::bench {

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

std::string EnterPrivateNetwork() {
    // Resolvers asked for configured families only (ser2net's are) find no
    // IPv4 at all while 127.0.0.1 is the only address; a second loopback
    // address changes that.
    return test::EnterLoopbackNamespace(0x7F000002);  // 127.0.0.2
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long PeakRssKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

ScratchFolder::ScratchFolder() {
    char pattern[] = "/tmp/kelmor-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "/tmp";
}

ScratchFolder::~ScratchFolder() {
    if (path_ != "/tmp") {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

Child::Child(const std::vector<std::string>& arguments, const std::string& logPath, bool pipeStdout, int stdinFd) {
    int out[2] = {-1, -1};
    if (pipeStdout && pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (pipeStdout) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeStdout) {
        close(out[1]);
        stdout_ = out[0];
    }
}

Child::~Child() {
    Stop();
    if (stdout_ >= 0) {
        close(stdout_);
    }
}

bool Child::Running() {
    if (pid_ <= 0 || reaped_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

std::string Child::WaitForLine(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        for (size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (line.find(text) != std::string::npos) {
                return line;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (stdout_ < 0 || left <= 0) {
            return {};
        }
        pollfd readable{stdout_, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(stdout_, buffer, sizeof buffer);
        if (got <= 0) {
            return {};
        }
        pending_.append(buffer, static_cast<size_t>(got));
    }
}

void Child::Stop() {
    if (!Running()) {
        return;
    }
    kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {  // 3 s
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
}

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    folders += ":/usr/sbin:/sbin:/usr/local/sbin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

int ConnectLoopback(uint16_t port, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    do {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(10ms);
    } while (Clock::now() < deadline);
    return -1;
}

namespace {

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t taken = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (taken <= 0) {
            return false;
        }
        sent += static_cast<size_t>(taken);
    }
    return true;
}

}  // namespace

Readers::Readers(uint16_t port, int count, const std::string& greeting)
    : received_(new std::atomic<uint64_t>[static_cast<size_t>(count)]) {
    connected_ = true;
    for (int i = 0; i < count; ++i) {
        received_[static_cast<size_t>(i)] = 0;
        const int fd = ConnectLoopback(port, 5s);
        if (fd < 0 || (!greeting.empty() && !SendAll(fd, greeting))) {
            if (fd >= 0) {
                close(fd);
            }
            connected_ = false;
            break;
        }
        sockets_.push_back(fd);
    }
}

Readers::~Readers() {
    Stop();
    for (int fd : sockets_) {
        close(fd);
    }
}

void Readers::Start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { Run(); });
    }
}

void Readers::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Readers::Run() {
    std::vector<pollfd> watched;
    for (int fd : sockets_) {
        watched.push_back({fd, POLLIN, 0});
    }
    std::vector<uint8_t> buffer(256 * 1024);
    std::vector<uint64_t> counts(sockets_.size(), 0);
    while (!stop_.load(std::memory_order_relaxed)) {
        if (poll(watched.data(), watched.size(), 20) <= 0) {
            continue;
        }
        for (size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            const ssize_t got = recv(watched[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got > 0) {
                counts[i] += static_cast<uint64_t>(got);
                received_[i].store(counts[i], std::memory_order_relaxed);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                watched[i].fd = -1;  // closed: poll skips it from now on
            }
        }
    }
}

uint64_t Readers::TotalBytes() const {
    uint64_t total = 0;
    for (size_t i = 0; i < sockets_.size(); ++i) {
        total += received_[i].load(std::memory_order_relaxed);
    }
    return total;
}

uint64_t Readers::LeastBytes() const {
    uint64_t least = UINT64_MAX;
    for (size_t i = 0; i < sockets_.size(); ++i) {
        least = std::min<uint64_t>(least, received_[i].load(std::memory_order_relaxed));
    }
    return sockets_.empty() ? 0 : least;
}

bool Readers::WaitEach(uint64_t bytes, std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    while (LeastBytes() < bytes) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

Producer::Producer(int fd, size_t chunk) : fd_(fd), chunk_(chunk) {
    for (size_t i = 0; i < chunk; ++i) {
        chunk_[i] = static_cast<uint8_t>('a' + i % 26);
    }
}

Producer::~Producer() { Stop(); }

void Producer::Start() {
    thread_ = std::thread([this] {
        const int flags = fcntl(fd_, F_GETFL);
        fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
        size_t offset = 0;  // into the chunk, after a short write
        while (!stop_.load(std::memory_order_relaxed)) {
            const ssize_t taken = write(fd_, chunk_.data() + offset, chunk_.size() - offset);
            if (taken > 0) {
                written_.fetch_add(static_cast<uint64_t>(taken), std::memory_order_relaxed);
                offset = (offset + static_cast<size_t>(taken)) % chunk_.size();
                continue;
            }
            if (taken < 0 && errno != EAGAIN && errno != EINTR) {
                break;
            }
            pollfd writable{fd_, POLLOUT, 0};
            poll(&writable, 1, 20);
        }
    });
}

void Producer::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace kelmor::bench
