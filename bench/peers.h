// The peers measured on the same work: ser2net serving a pty, and socat
// relaying a pipe to one TCP client.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "bench_support.h"

namespace kelmor::bench {

struct PeerPrograms {
    std::string ser2net;
    std::string socat;
    std::string logPath;  // where the peers' own output goes
};

// ser2net on 127.0.0.1:port with a pty as its device; the producer's end of
// the pty is Device().
class Ser2net {
public:
    Ser2net(const PeerPrograms& programs, const std::string& folder, uint16_t port, int maxConnections);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Empty when it runs; otherwise what went wrong.
    const std::string& Problem() const { return problem_; }
    int Device() const { return master_; }
    pid_t Pid() const { return child_ ? child_->Pid() : -1; }
    void Stop();

private:
    std::string problem_;
    int master_ = -1;
    int slave_ = -1;
    std::unique_ptr<Child> child_;
};

// socat -u STDIN TCP-LISTEN:port with a pipe as standard input; the
// producer's end of the pipe is Input().
class SocatRelay {
public:
    SocatRelay(const PeerPrograms& programs, uint16_t port);
    ~SocatRelay();
    SocatRelay(const SocatRelay&) = delete;
    SocatRelay& operator=(const SocatRelay&) = delete;

    const std::string& Problem() const { return problem_; }
    int Input() const { return input_; }
    void Stop();

private:
    std::string problem_;
    int input_ = -1;
    std::unique_ptr<Child> child_;
};

}  // namespace kelmor::bench
