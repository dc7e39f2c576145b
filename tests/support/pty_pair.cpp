#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace kelmor::test {
namespace {

using namespace std::chrono_literals;

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

PtyPair::PtyPair() {
    const std::string socat = FindProgram("socat");
    if (socat.empty()) {
        problem_ = "socat is not installed (scripts/install-deps installs it)";
        return;
    }
    static std::atomic<int> counter{0};
    const std::string stem = ::testing::TempDir() + "kelmor-pty-" + std::to_string(getpid()) + "-" +
                             std::to_string(counter++);
    ours_ = stem + ".ours";
    peer_ = stem + ".peer";
    socat_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        socat, "-d", "-d", "pty,raw,echo=0,link=" + ours_, "pty,raw,echo=0,link=" + peer_});
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    // socat says so once both links are made and it forwards.
    while (socat_->Stderr().find("starting data transfer loop") == std::string::npos) {
        if (!socat_->Running() || std::chrono::steady_clock::now() > deadline) {
            problem_ = "socat did not make the pty pair: " + socat_->Stderr();
            return;
        }
        std::this_thread::sleep_for(5ms);
    }
    if (!Exists(ours_) || !Exists(peer_)) {
        problem_ = "socat's links are missing: " + socat_->Stderr();
        return;
    }
    peerFd_ = open(peer_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw{};
    if (peerFd_ < 0 || tcgetattr(peerFd_, &raw) != 0) {
        problem_ = "cannot open the peer end " + peer_;
        return;
    }
    cfmakeraw(&raw);
    tcsetattr(peerFd_, TCSANOW, &raw);
}

PtyPair::~PtyPair() {
    if (peerFd_ >= 0) {
        close(peerFd_);
    }
    Stop();
}

void PtyPair::Stop() {
    if (socat_ && socat_->Running()) {
        socat_->Signal(SIGTERM);
        socat_->Wait(5s);
    }
}

bool PtyPair::WritePeer(const std::string& bytes) {
    size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
        const ssize_t put = write(peerFd_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
        } else {
            pollfd ready{peerFd_, POLLOUT, 0};
            poll(&ready, 1, 10);
        }
    }
    return done == bytes.size();
}

std::string PtyPair::ReadPeer(size_t count, std::chrono::milliseconds limit) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char chunk[4096];
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = read(peerFd_, chunk, std::min(sizeof chunk, count - got.size()));
        if (n > 0) {
            got.append(chunk, static_cast<size_t>(n));
        } else {
            pollfd ready{peerFd_, POLLIN, 0};
            poll(&ready, 1, 10);
        }
    }
    return got;
}

}  // namespace kelmor::test
