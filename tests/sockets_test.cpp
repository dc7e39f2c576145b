// The POSIX socket layer on real loopback sockets: Winsock numbers, readiness
// with the read-set semantics, bounded receives and sends, no SIGPIPE, and
// interrupted calls made again.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "private_network.h"
#include "socket_faults.h"
#include "tcp_client.h"

namespace kelmor::test {
namespace {

namespace net = platform;
using net::SocketHandle;

constexpr uint16_t kPort = 9100;

class SocketsTest : public PrivateNetworkTest {
protected:
    void TearDown() override {
        for (SocketHandle socket : opened_) {
            net::CloseSocket(socket);
        }
        PrivateNetworkTest::TearDown();
    }

    SocketHandle Keep(SocketHandle socket) {
        if (socket != net::kInvalidSocket) {
            opened_.push_back(socket);
        }
        return socket;
    }

    SocketHandle Listener(uint16_t port) {
        const SocketHandle listener = Keep(net::OpenTcpSocket());
        EXPECT_EQ(net::BindToAnyAddress(listener, port), 0) << net::LastSocketError();
        EXPECT_EQ(net::ListenForClients(listener, 10), 0);
        return listener;
    }

    // A client on loopback and the server side of its connection.
    SocketHandle Connect(SocketHandle listener, std::unique_ptr<TcpClient>& client, int receiveBuffer = 0) {
        client = std::make_unique<TcpClient>(kPort, receiveBuffer);
        EXPECT_TRUE(client->Connected());
        return Keep(net::AcceptClient(listener));
    }

private:
    std::vector<SocketHandle> opened_;
};

TEST_F(SocketsTest, ErrnoValuesMapToWinsockNumbers) {
    const struct {
        int errnoValue;
        int32_t winsock;
    } table[] = {{EADDRINUSE, 10048}, {EINTR, 10004},  {ETIMEDOUT, 10060}, {ECONNRESET, 10054},
                 {EPIPE, 10054},      {EMFILE, 10024}, {EAGAIN, 10035},    {ENOTSOCK, 10038},
                 {EINVAL, 10022},     {EACCES, 10013}, {ENOMEM, 10055},    {12345, 10107}};
    for (const auto& row : table) {
        EXPECT_EQ(net::WinsockError(row.errnoValue), row.winsock) << std::strerror(row.errnoValue);
    }
}

TEST_F(SocketsTest, LiveListenerHoldsItsPortButLingeringConnectionsDoNot) {
    EXPECT_EQ(net::StartSockets(), 0);
    const SocketHandle first = Listener(kPort);
    const SocketHandle second = Keep(net::OpenTcpSocket());
    EXPECT_EQ(net::BindToAnyAddress(second, kPort), -1);
    EXPECT_EQ(net::LastSocketError(), net::kWsaAddressInUse);

    // The server closes first, so its side of the connection lingers in
    // TIME_WAIT on the port; a new listener gets the port all the same.
    std::unique_ptr<TcpClient> client;
    const SocketHandle served = Connect(first, client);
    net::CloseSocket(served);
    std::string ignored;
    ASSERT_TRUE(client->ReceiveUntilClosed(ignored));
    client.reset();
    net::CloseSocket(first);
    const SocketHandle again = Keep(net::OpenTcpSocket());
    EXPECT_EQ(net::BindToAnyAddress(again, kPort), 0) << net::LastSocketError();
}

// Another socket binds the port too and starts listening just before ours
// does: ours must learn that the port is taken, and still be able to bind
// the next one.
int rivalSocket = -1;
int RivalListensFirst(int fd, int backlog) {
    ::listen(rivalSocket, 1);
    return ::listen(fd, backlog);
}

TEST_F(SocketsTest, PortBoundByTwoAtOnceGoesToTheOneThatListensFirst) {
    rivalSocket = Keep(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    setsockopt(rivalSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    ASSERT_EQ(bind(rivalSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    SocketFaults faults;
    faults.calls.listen = RivalListensFirst;
    faults.Apply();
    const SocketHandle ours = Keep(net::OpenTcpSocket());
    EXPECT_EQ(net::BindToAnyAddress(ours, kPort), -1);
    EXPECT_EQ(net::LastSocketError(), net::kWsaAddressInUse);
    faults.calls.listen = ::listen;
    EXPECT_EQ(net::BindToAnyAddress(ours, kPort + 1), 0) << net::LastSocketError();
    EXPECT_EQ(net::ListenForClients(ours, 10), 0);
    TcpClient client(kPort + 1);
    EXPECT_TRUE(client.Connected());
}

TEST_F(SocketsTest, ReadSetHoldsSixtyFourSocketsEachOnce) {
    net::ReadSet set;
    for (int socket = 100; socket < 164; ++socket) {
        ASSERT_TRUE(net::AddToReadSet(set, socket));
    }
    EXPECT_TRUE(net::AddToReadSet(set, 100));
    EXPECT_FALSE(net::AddToReadSet(set, 164));
    EXPECT_EQ(set.count, 64u);
    EXPECT_TRUE(net::IsInReadSet(set, 163));
    EXPECT_FALSE(net::IsInReadSet(set, 164));
}

TEST_F(SocketsTest, SelectReadableKeepsOnlyTheReadySockets) {
    const SocketHandle idle = Listener(kPort + 1);
    const SocketHandle waiting = Listener(kPort);
    TcpClient client(kPort);
    ASSERT_TRUE(client.Connected());

    net::ReadSet set;
    net::AddToReadSet(set, idle);
    net::AddToReadSet(set, waiting);
    ASSERT_TRUE(WaitUntil([&] {
        net::ReadSet look = set;
        return net::SelectReadable(look) == 1 && look.count == 1 && look.sockets[0] == waiting;
    }));

    net::ReadSet nothing;
    net::AddToReadSet(nothing, idle);
    EXPECT_EQ(net::SelectReadable(nothing), 0);
    EXPECT_EQ(nothing.count, 0u);
}

TEST_F(SocketsTest, SelectReadableFailsOnAnEmptySetOrOneThatIsNoSocket) {
    const int closed = dup(STDERR_FILENO);
    close(closed);
    struct Case {
        const char* what;
        std::vector<SocketHandle> sockets;
        int32_t error;
    };
    const Case cases[] = {
        {"empty", {}, net::kWsaInvalidArgument},
        {"invalid handle", {net::kInvalidSocket}, net::kWsaNotSocket},
        {"closed descriptor", {closed}, net::kWsaNotSocket},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        net::ReadSet set;
        for (SocketHandle socket : c.sockets) {
            net::AddToReadSet(set, socket);
        }
        EXPECT_EQ(net::SelectReadable(set), -1);
        EXPECT_EQ(net::LastSocketError(), c.error);
    }
}

TEST_F(SocketsTest, DescriptorAbove1024WorksForReadiness) {
    constexpr int kHigh = 1500;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur <= kHigh) {
        GTEST_SKIP() << "the descriptor limit " << limit.rlim_cur << " is below " << kHigh;
    }
    const SocketHandle listener = Listener(kPort);
    std::unique_ptr<TcpClient> client;
    const SocketHandle served = Connect(listener, client);
    const SocketHandle high = Keep(dup2(served, kHigh));
    ASSERT_EQ(high, kHigh);
    ASSERT_TRUE(client->Send("x"));

    net::ReadSet set;
    net::AddToReadSet(set, high);
    ASSERT_TRUE(WaitUntil([&] {
        net::ReadSet look = set;
        return net::SelectReadable(look) == 1;
    }));
    uint8_t byte = 0;
    uint32_t left = 1000;
    EXPECT_EQ(net::ReceiveBytes(high, &byte, 1, left), 1);
    EXPECT_EQ(byte, 'x');
}

TEST_F(SocketsTest, ReceiveWaitsNoLongerThanItsLimitAndTakesTheTimeOff) {
    const SocketHandle listener = Listener(kPort);
    std::unique_ptr<TcpClient> client;
    const SocketHandle served = Connect(listener, client);
    uint8_t buffer[8] = {};

    uint32_t left = 100;
    EXPECT_EQ(net::ReceiveBytes(served, buffer, 8, left), -1);
    EXPECT_EQ(net::LastSocketError(), net::kWsaTimedOut);
    EXPECT_EQ(left, 0u);

    ASSERT_TRUE(client->Send("abc"));
    left = 60000;
    EXPECT_EQ(net::ReceiveBytes(served, buffer, 8, left), 3);
    EXPECT_GT(left, 0u);
    EXPECT_LE(left, 60000u);

    client->Close();
    left = 1000;
    EXPECT_EQ(net::ReceiveBytes(served, buffer, 8, left), 0) << "the peer closed";
}

TEST_F(SocketsTest, SendToAStalledPeerFailsAfterTheStallLimit) {
    const SocketHandle listener = Listener(kPort);
    std::unique_ptr<TcpClient> client;
    const SocketHandle served = Connect(listener, client, 4096);
    const std::string block(1 << 16, 'z');
    int32_t result = 0;
    for (int i = 0; i < 200 && result != -1; ++i) {
        result = net::SendBytes(served, reinterpret_cast<const uint8_t*>(block.data()),
                                static_cast<int32_t>(block.size()), 200);
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(net::LastSocketError(), net::kWsaTimedOut);
}

TEST_F(SocketsTest, SendToAVanishedPeerFailsWithoutASignal) {
    const SocketHandle listener = Listener(kPort);
    std::unique_ptr<TcpClient> client;
    const SocketHandle served = Connect(listener, client);
    client->Close(/*abort=*/true);
    const uint8_t data[] = {'h', 'i'};
    int32_t result = 0;
    for (int i = 0; i < 100 && result != -1; ++i) {
        result = net::SendBytes(served, data, 2, 1000);
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(net::LastSocketError(), net::kWsaConnectionReset);
}

// Each fake fails its first call with EINTR and passes the later ones on.
std::atomic<int> interruptions{0};

bool InterruptOnce() {
    if (interruptions.fetch_add(1) == 0) {
        errno = EINTR;
        return true;
    }
    return false;
}

int InterruptedPoll(pollfd* fds, nfds_t count, int timeout) {
    return InterruptOnce() ? -1 : ::poll(fds, count, timeout);
}
int InterruptedAccept(int fd, sockaddr* address, socklen_t* length, int flags) {
    return InterruptOnce() ? -1 : ::accept4(fd, address, length, flags);
}
ssize_t InterruptedRecv(int fd, void* buffer, size_t length, int flags) {
    return InterruptOnce() ? -1 : ::recv(fd, buffer, length, flags);
}
ssize_t InterruptedSend(int fd, const void* data, size_t length, int flags) {
    return InterruptOnce() ? -1 : ::send(fd, data, length, flags);
}

TEST_F(SocketsTest, InterruptedCallsAreMadeAgain) {
    const SocketHandle listener = Listener(kPort);
    TcpClient client(kPort);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send("q"));

    SocketFaults faults;
    faults.calls.poll = InterruptedPoll;
    faults.calls.accept4 = InterruptedAccept;
    faults.Apply();

    interruptions = 0;
    net::ReadSet set;
    net::AddToReadSet(set, listener);
    EXPECT_EQ(net::SelectReadable(set), 1);
    EXPECT_EQ(interruptions.load(), 2);

    interruptions = 0;
    const SocketHandle served = Keep(net::AcceptClient(listener));
    EXPECT_NE(served, net::kInvalidSocket);
    EXPECT_EQ(interruptions.load(), 2);

    faults.calls.poll = ::poll;
    faults.calls.recv = InterruptedRecv;
    faults.calls.send = InterruptedSend;
    interruptions = 0;
    uint8_t byte = 0;
    uint32_t left = 3000;
    EXPECT_EQ(net::ReceiveBytes(served, &byte, 1, left), 1);
    EXPECT_EQ(byte, 'q');
    interruptions = 0;
    EXPECT_EQ(net::SendBytes(served, &byte, 1, 3000), 1);
    EXPECT_EQ(client.Receive(1), "q");
}

}  // namespace
}  // namespace kelmor::test
