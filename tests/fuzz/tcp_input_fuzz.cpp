// The TCP terminal's input path, fed any bytes as what one to three clients
// send: the login exchange takes each of the two answers up to its carriage
// return, the rest comes out of Read one byte a call with the escape
// sequences decoded, from the lowest table entry first, and every client
// gets the prompts and what is written. The clients are socket pairs that a
// stand-in accept hands to the device, so nothing touches the network.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "devices/tcp_device.h"
#include "fuzz_input.h"
#include "kernel.h"
#include "runtime/runtime.h"
#include "socket_calls.h"

namespace {

using kelmor::fuzz::Check;
using kelmor::fuzz::FuzzInput;

constexpr uint8_t kPortTask = 188;
constexpr uint8_t kLoginNoticeTask = 68;
constexpr uint8_t kEscapeByte = 0x8F;
constexpr const char* kPrompts = "login: password: ";

// The listener: one byte waiting on it for each connection in the queue.
int listenerRead = -1;
int listenerWrite = -1;
std::deque<int> waiting;

int AcceptWaiting(int fd, sockaddr*, socklen_t*, int) {
    char token = 0;
    if (fd != listenerRead || waiting.empty() || recv(listenerRead, &token, 1, MSG_DONTWAIT) != 1) {
        errno = EAGAIN;
        return -1;
    }
    const int next = waiting.front();
    waiting.pop_front();
    return next;
}

kelmor::platform::SocketCalls calls;
bool started = false;

void StartOnce() {
    if (started) {
        return;
    }
    started = true;
    calls = kelmor::platform::SystemSocketCalls();
    calls.accept4 = AcceptWaiting;
    kelmor::platform::UseSocketCalls(&calls);
    auto& kernel = kelmor::runtime::Kernel::Get();
    kernel.SetEventSink([](const kelmor::runtime::KernelEvent&) {});
    kernel.AttachThread(kPortTask, "kelmor");
    kernel.CreateTask(kLoginNoticeTask, "login notices");
}

// The number the next descriptor made gets: the same before and after a run
// unless the run left one open.
int LowestFreeDescriptor() {
    const int probe = dup(0);
    close(probe);
    return probe;
}

int HexDigit(uint8_t digit) {
    const auto code = static_cast<int8_t>(digit);
    return code <= 64 ? code - 48 : code - 55;
}

// What Read should deliver of one client's bytes, all of them sent before
// the client shut its sending side.
std::string Delivered(const std::string& sent) {
    size_t at = 0;
    for (int answer = 0; answer < 2; ++answer) {
        const size_t end = sent.find('\r', at);
        if (end == std::string::npos) {
            return {};
        }
        at = end + 1;
    }
    std::string out;
    while (at < sent.size()) {
        auto byte = static_cast<uint8_t>(sent[at++]);
        if (byte == kEscapeByte) {
            if (sent.size() - at >= 5) {
                byte = static_cast<uint8_t>(16 * HexDigit(sent[at + 3]) + HexDigit(sent[at + 4]));
                at += 5;
            } else {
                at = sent.size();  // a short tail is lost with the receive that took it
            }
        }
        out.push_back(static_cast<char>(byte));
    }
    return out;
}

struct Client {
    int device = -1;
    int peer = -1;
    std::string sent;
    bool hangsUp = false;  // closes altogether instead of shutting its sending side
    bool freedAtLogin = false;
};

std::string ReceiveAll(int fd) {
    std::string got;
    char chunk[4096];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;) {
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StartOnce();
    const int lowestFree = LowestFreeDescriptor();
    auto& kernel = kelmor::runtime::Kernel::Get();
    FuzzInput in(data, size);
    std::vector<Client> clients(1 + in.Byte() % 3);
    const std::string written = in.Bytes(in.Byte() % 48);
    for (size_t i = 0; i < clients.size(); ++i) {
        clients[i].hangsUp = (in.Byte() & 7) == 0;
        clients[i].sent = i + 1 < clients.size() ? in.Bytes(in.Word() % 1024) : in.Rest();
    }

    int listener[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, listener) == 0, "socketpair");
    listenerRead = listener[0];
    listenerWrite = listener[1];
    for (Client& client : clients) {
        int pair[2];
        Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
        client.device = pair[0];
        client.peer = pair[1];
        const ssize_t taken = send(client.peer, client.sent.data(), client.sent.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        client.sent.resize(taken > 0 ? static_cast<size_t>(taken) : 0);
        if (client.hangsUp) {
            close(client.peer);
            client.peer = -1;
        } else {
            shutdown(client.peer, SHUT_WR);
        }
        waiting.push_back(client.device);
        Check(send(listenerWrite, "c", 1, MSG_NOSIGNAL) == 1, "queue a connection");
    }

    TcpDevice device;
    device.listenSocket = listenerRead;
    Check(!device.Poll(), "Poll reports that connections were waiting");
    Check(device.Poll(), "a second Poll finds none");
    // A connection that ended with nothing unread may have lost its entry to
    // a later one already, so the table holds at most one entry per connection.
    Check(device.clientCount <= clients.size(), "at most one entry per connection");
    for (Client& client : clients) {
        client.freedAtLogin =
            std::find(device.clients, device.clients + device.clientCount, client.device) == device.clients + device.clientCount;
        Check(!client.freedAtLogin || Delivered(client.sent).empty(), "only a connection with nothing unread is freed");
    }
    size_t notices = 0;
    while (auto notice = kernel.Await(kLoginNoticeTask, std::chrono::milliseconds(0))) {
        Check(notice->packet->request == F_LOGIN_NOTICE && notice->packet->actual == 23, "a login notice");
        Check(rt_delete_packet(notice->packet) == 0, "notice deleted");
        ++notices;
    }
    Check(notices == clients.size(), "one notice per login, finished or not");

    if (!written.empty()) {
        device.Write(reinterpret_cast<const uint8_t*>(written.data()), static_cast<uint16_t>(written.size()));
    }
    std::string expected;
    size_t sentInAll = 0;
    for (const Client& client : clients) {
        // A client that hung up loses its input to the write that finds it gone.
        if (!client.freedAtLogin && !(client.hangsUp && !written.empty())) {
            expected += Delivered(client.sent);
        }
        sentInAll += client.sent.size();
    }
    std::string delivered;
    for (size_t call = 0; call <= sentInAll + clients.size(); ++call) {
        uint8_t byte = 0;
        uint16_t count = 7;
        device.Read(&byte, &count);
        Check(count <= 1, "Read delivers at most one byte");
        if (count == 0) {
            break;
        }
        delivered.push_back(static_cast<char>(byte));
    }
    Check(delivered == expected, "Read delivers the input in order, escapes decoded");
    for (uint32_t i = 0; i < device.clientCount; ++i) {
        Check(device.clients[i] == kelmor::platform::kInvalidSocket, "every ended connection is freed");
    }
    for (const Client& client : clients) {
        if (client.peer >= 0) {
            Check(ReceiveAll(client.peer) == kPrompts + (client.freedAtLogin ? "" : written),
                  "each client gets the prompts, and the write while it has its entry");
        }
    }

    device.Dismount();  // closes the listener too
    std::free(device.clients);
    close(listenerWrite);
    for (const Client& client : clients) {
        if (client.peer >= 0) {
            close(client.peer);
        }
    }
    Check(LowestFreeDescriptor() == lowestFree, "no descriptor is left open");
    return 0;
}
