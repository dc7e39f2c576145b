#include "peers.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

namespace kelmor::bench {

namespace {

void CloseOnExec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }

}  // namespace

// The device side is a pty in raw mode; the line speed means nothing to a
// pty. ser2net is given its fastest setting for bulk output that we found on
// this machine: the buffer from the device to the network raised from its
// default of 64 bytes to 32 KiB (64 B: about a tenth of the throughput; 4,
// 8, 16 and 64 KiB: a little less) and the character delay kept (turning it
// off halved the throughput).
Ser2net::Ser2net(const PeerPrograms& programs, const std::string& folder, uint16_t port, int maxConnections) {
    if (programs.ser2net.empty()) {
        problem_ = "ser2net is not installed";
        return;
    }
    char slaveName[256] = {};
    if (openpty(&master_, &slave_, slaveName, nullptr, nullptr) != 0) {
        problem_ = "openpty failed";
        return;
    }
    CloseOnExec(master_);
    CloseOnExec(slave_);
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);

    const std::string config = folder + "/ser2net-" + std::to_string(port) + ".yaml";
    {
        std::ofstream file(config);
        file << "%YAML 1.1\n---\n"
             << "connection: &bench\n"
             << "  accepter: tcp,127.0.0.1," << port << "\n"
             << "  connector: serialdev," << slaveName << ",115200n81,local\n"
             << "  options:\n"
             << "    max-connections: " << maxConnections << "\n"
             << "    dev-to-net-bufsize: 32768\n"
             << "    net-to-dev-bufsize: 4096\n";
    }
    const std::string pidFile = folder + "/ser2net-" + std::to_string(port) + ".pid";
    child_ = std::make_unique<Child>(
        std::vector<std::string>{programs.ser2net, "-n", "-u", "-P", pidFile, "-c", config}, programs.logPath);
    if (child_->Pid() <= 0) {
        problem_ = "ser2net did not start";
    }
}

Ser2net::~Ser2net() { Stop(); }

void Ser2net::Stop() {
    if (child_) {
        child_->Stop();
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
}

SocatRelay::SocatRelay(const PeerPrograms& programs, uint16_t port) {
    if (programs.socat.empty()) {
        problem_ = "socat is not installed";
        return;
    }
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) {
        problem_ = "pipe failed";
        return;
    }
    child_ = std::make_unique<Child>(
        std::vector<std::string>{programs.socat, "-u", "STDIN",
                                 "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr"},
        programs.logPath, false, fds[0]);
    close(fds[0]);
    input_ = fds[1];
    if (child_->Pid() <= 0) {
        problem_ = "socat did not start";
    }
}

SocatRelay::~SocatRelay() { Stop(); }

void SocatRelay::Stop() {
    if (input_ >= 0) {
        close(input_);  // socat ends at the end of its input
        input_ = -1;
    }
    if (child_) {
        child_->Stop();
    }
}

}  // namespace kelmor::bench
