// The TCP terminal device, driven directly on the test's own thread (a
// controller task), with real clients on loopback. Poll runs the login
// exchange inline, so clients send their answers before Poll is called.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devices/tcp_device.h"
#include "private_network.h"
#include "socket_faults.h"
#include "tcp_client.h"

namespace kelmor::test {
namespace {

using runtime::Injection;
using runtime::Op;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kFirstPort = 9100;
constexpr const char* kPrompts = "login: password: ";
constexpr size_t kPromptsSize = 17;

std::vector<uint16_t> boundPorts;  // every port the device tried, in order
int BindAndRecord(int fd, const sockaddr* address, socklen_t length) {
    boundPorts.push_back(ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port));
    return ::bind(fd, address, length);
}

std::atomic<int> failedCalls{0};
int AcceptOutOfDescriptors(int, sockaddr*, socklen_t*, int) {
    ++failedCalls;
    errno = EMFILE;
    return -1;
}
void* ReallocOutOfMemory(void*, size_t) {
    ++failedCalls;
    return nullptr;
}
int PollFailing(pollfd*, nfds_t, int) {
    ++failedCalls;
    errno = ENOMEM;
    return -1;
}
int BindDenied(int, const sockaddr* address, socklen_t) {
    boundPorts.push_back(ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port));
    errno = EACCES;
    return -1;
}
int SocketOutOfDescriptors(int, int, int) {
    errno = EMFILE;
    return -1;
}
int32_t StartupNotReady(uint16_t) { return 10091; }  // WSASYSNOTREADY
std::atomic<int> sends{0};
ssize_t CountedSend(int fd, const void* data, size_t length, int flags) {
    ++sends;
    return ::send(fd, data, length, flags);
}

class TcpDeviceTest : public PrivateNetworkTest {
protected:
    void SetUp() override {
        PrivateNetworkTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        Kernel().CreateTask(kLoginNoticeTask, "login notices");
        boundPorts.clear();
        failedCalls = 0;
        sends = 0;
    }

    void TearDown() override {
        faults_.reset();
        for (TcpDevice& device : devices_) {
            device.Dismount();
            std::free(device.clients);
        }
        for (int fd : heldPorts_) {
            close(fd);
        }
        PrivateNetworkTest::TearDown();
    }

    TcpDevice& StartDevice(const char* portName = "P1", int32_t service = 2) {
        TcpDevice& device = devices_.emplace_back();
        std::strcpy(device.name, portName);
        device.service = service;
        device.Start();
        return device;
    }

    SocketFaults& Faults() {
        if (!faults_) {
            faults_ = std::make_unique<SocketFaults>();
        }
        return *faults_;
    }

    // Another program's listener on 127.0.0.1:port.
    void HoldPort(uint16_t port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << port;
        ASSERT_EQ(listen(fd, 1), 0);
        heldPorts_.push_back(fd);
    }

    static uint16_t BoundPort(const TcpDevice& device) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (getsockname(device.listenSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return 0;
        }
        return ntohs(address.sin_port);
    }

    // A client that sends its answers to both prompts at once, taken in by
    // one Poll; it has read the prompts when this returns.
    std::unique_ptr<TcpClient> LogIn(TcpDevice& device, std::string_view answers = "user\rpass\r",
                                     int receiveBuffer = 0) {
        auto client = std::make_unique<TcpClient>(BoundPort(device), receiveBuffer);
        EXPECT_TRUE(client->Connected());
        EXPECT_TRUE(client->Send(answers));
        EXPECT_FALSE(device.Poll()) << "a connection was waiting";
        EXPECT_EQ(client->Receive(kPromptsSize), kPrompts);
        return client;
    }

    // The notices queued for task 68, taken off its queue.
    std::vector<Packet> TakeNotices() {
        std::vector<Packet> notices;
        while (auto delivery = Kernel().Await(kLoginNoticeTask, 50ms)) {
            notices.push_back(*delivery->packet);
            EXPECT_EQ(rt_delete_packet(delivery->packet), 0);
        }
        return notices;
    }

    // Waits until the connection in the given entry has input (or was closed).
    static bool WaitForInput(const TcpDevice& device, uint32_t entry) {
        pollfd watched{device.clients[entry], POLLIN, 0};
        return poll(&watched, 1, 3000) == 1;
    }

    // What successive Reads deliver until one delivers nothing.
    static std::string ReadAll(TcpDevice& device) {
        std::string delivered;
        for (;;) {
            uint8_t byte = 0;
            uint16_t count = 99;
            device.Read(&byte, &count);
            if (count == 0) {
                return delivered;
            }
            EXPECT_EQ(count, 1);
            delivered.push_back(static_cast<char>(byte));
        }
    }

    std::list<TcpDevice> devices_;

private:
    std::unique_ptr<SocketFaults> faults_;
    std::vector<int> heldPorts_;
};

// Port search and announcement

TEST_F(TcpDeviceTest, ListensOnTheFirstPortNoOtherListenerHolds) {
    Faults().calls.bind = BindAndRecord;
    Faults().Apply();
    for (uint16_t taken : {0, 3}) {
        SCOPED_TRACE(std::to_string(taken) + " ports taken");
        for (uint16_t port = kFirstPort; port < kFirstPort + taken; ++port) {
            HoldPort(port);
        }
        boundPorts.clear();
        const size_t consoleBefore = Kernel().ConsoleText().size();
        TcpDevice& device = StartDevice("P1", 2);
        const uint16_t expected = kFirstPort + taken;
        EXPECT_EQ(BoundPort(device), expected);
        EXPECT_EQ(Kernel().ConsoleText().substr(consoleBefore),
                  "[KELMOR] Ready for connections at " + std::to_string(expected) + "\n");
        EXPECT_EQ(boundPorts.size(), taken + 1u);
        EXPECT_EQ(boundPorts.back(), expected);
        ASSERT_FALSE(Kernel().Announcements().empty());
        const auto announced = Kernel().Announcements().back();
        EXPECT_EQ(announced.service, 2);
        EXPECT_EQ(announced.one, 1);
        EXPECT_EQ(announced.tcpPort, expected);
        device.Dismount();
    }
}

TEST_F(TcpDeviceTest, EveryPortTakenMeansNoListenerAndNoAnnouncement) {
    for (uint16_t port = kFirstPort; port < kFirstPort + 100; ++port) {
        HoldPort(port);
    }
    Faults().calls.bind = BindAndRecord;
    Faults().Apply();
    TcpDevice& device = StartDevice();
    EXPECT_EQ(Kernel().ConsoleText(), "[KELMOR] Can't bind to any available ports\n");
    EXPECT_TRUE(Kernel().Announcements().empty());
    EXPECT_EQ(device.listenSocket, platform::kInvalidSocket);
    ASSERT_EQ(boundPorts.size(), 100u) << "9200 is never tried";
    EXPECT_EQ(boundPorts.front(), 9100);
    EXPECT_EQ(boundPorts.back(), 9199);

    // A device whose start failed is harmless.
    EXPECT_TRUE(device.Poll());
    uint8_t byte = 0;
    uint16_t count = 7;
    device.Read(&byte, &count);
    EXPECT_EQ(count, 0);
    device.Write(reinterpret_cast<const uint8_t*>("x"), 1);
}

TEST_F(TcpDeviceTest, StartThatFailsEarlyIsReportedWhereTheDeviceSaysSo) {
    struct Case {
        const char* what;
        void (*fault)(platform::SocketCalls&);
        std::string standardOutput;
        std::string console;
        size_t bindCalls;
    };
    const Case cases[] = {
        {"socket library does not start", [](platform::SocketCalls& c) { c.startup = StartupNotReady; },
         "[KELMOR] WSAStartup error 0x276b, 0x276b\n", "", 0},
        {"no socket", [](platform::SocketCalls& c) { c.socket = SocketOutOfDescriptors; }, "", "", 0},
        {"bind denied", [](platform::SocketCalls& c) { c.bind = BindDenied; }, "",
         "[KELMOR] Can't bind to any available ports\n", 1},
    };
    // Console lines then reach only the kernel's record, not standard output.
    Kernel().SetEventSink([](const runtime::KernelEvent&) {});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel().Reset();
        Kernel().AttachThread(kController);
        boundPorts.clear();
        Faults().calls = platform::SystemSocketCalls();
        c.fault(Faults().calls);
        Faults().Apply();
        testing::internal::CaptureStdout();
        TcpDevice& device = StartDevice();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.standardOutput);
        EXPECT_EQ(Kernel().ConsoleText(), c.console);
        EXPECT_TRUE(Kernel().Announcements().empty());
        EXPECT_EQ(device.listenSocket, platform::kInvalidSocket);
        EXPECT_EQ(boundPorts.size(), c.bindCalls);
        EXPECT_TRUE(device.Poll());
    }
    Kernel().SetEventSink(nullptr);
}

TEST_F(TcpDeviceTest, TwoDevicesTakeConsecutivePorts) {
    TcpDevice& first = StartDevice("P1", 2);
    TcpDevice& second = StartDevice("P2", 3);
    EXPECT_EQ(BoundPort(first), 9100);
    EXPECT_EQ(BoundPort(second), 9101);
    EXPECT_EQ(Kernel().ConsoleText(),
              "[KELMOR] Ready for connections at 9100\n[KELMOR] Ready for connections at 9101\n");
}

TEST_F(TcpDeviceTest, AnnouncementNamesTheFunctionOfItsOwnSerialPort) {
    const struct {
        int32_t code;
        const char* text;
    } cases[] = {{5, "Floppy"}, {4, "Floppy"},   {21, "TRQB protocol driver"}, {1, "None"},
                 {0, "Unknown"}, {22, "Unknown"}, {-1, "Unknown"}};
    for (int digit = 0; digit < 9; ++digit) {
        Kernel().SetPortFunction(digit, 8);  // "Host Com" everywhere else
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        Kernel().SetPortFunction(3, c.code);
        TcpDevice& device = StartDevice("P3", 4);
        ASSERT_FALSE(Kernel().Announcements().empty());
        const auto announced = Kernel().Announcements().back();
        EXPECT_EQ(announced.text, c.text);
        EXPECT_EQ(announced.service, 4);
        EXPECT_EQ(announced.tcpPort, 9100);
        device.Dismount();
    }
}

TEST_F(TcpDeviceTest, AnnouncementWithoutAPortFunctionSaysUnknown) {
    StartDevice("P3", 4).Dismount();  // no port setup table at all
    Kernel().SetPortFunction(3, 5);
    Injection noElement{Op::VarGetElement};
    Kernel().Inject(noElement);
    StartDevice("P3", 4).Dismount();
    const auto announced = Kernel().Announcements();
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_EQ(announced[0].text, "Unknown");
    EXPECT_EQ(announced[1].text, "Unknown");
    EXPECT_EQ(Kernel().Calls(Op::VarGetElement), 1u) << "no table, no lookup";
}

// Accepting clients

TEST_F(TcpDeviceTest, PollIsFalseExactlyWhenAConnectionWasWaiting) {
    TcpDevice& device = StartDevice();
    EXPECT_TRUE(device.Poll());
    auto client = LogIn(device);
    EXPECT_TRUE(device.Poll());
    EXPECT_EQ(TakeNotices().size(), 1u);
}

TEST_F(TcpDeviceTest, LoginAcceptsAnyAnswersUpToTheirCarriageReturns) {
    const struct {
        const char* what;
        std::string answers;
        std::string firstInput;  // what Read delivers once the client sends 'Z'
    } cases[] = {
        {"CR", "robot\rsecret\r", "Z"},
        {"CR LF: the last LF stays as input", "robot\r\nsecret\r\n", "\nZ"},
        {"option bytes are just discarded", "\xFF\xFB\x01name\r\xFF\xFD\x03pw\r", "Z"},
        {"empty answers", "\r\r", "Z"},
    };
    TcpDevice& device = StartDevice();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto client = LogIn(device, c.answers);
        EXPECT_EQ(TakeNotices().size(), 1u);
        ASSERT_TRUE(client->Send("Z"));
        std::string delivered;
        ASSERT_TRUE(WaitUntil([&] {
            delivered += ReadAll(device);
            return delivered.size() >= c.firstInput.size();
        }));
        EXPECT_EQ(delivered, c.firstInput);
        client.reset();
        ASSERT_TRUE(WaitForInput(device, 0));
        ReadAll(device);  // frees the entry
    }
}

TEST_F(TcpDeviceTest, EachLoginSendsOneNoticeWithEveryField) {
    TcpDevice& device = StartDevice();
    for (uint32_t word : {0x12345678u, 0xCAFEu}) {
        Kernel().SetLoginWord(word);
        auto client = LogIn(device);
        const auto notices = TakeNotices();
        ASSERT_EQ(notices.size(), 1u);
        const Packet& notice = notices[0];
        EXPECT_EQ(notice.request, F_LOGIN_NOTICE);
        EXPECT_EQ(notice.link, 0u);
        EXPECT_EQ(notice.status, 0);
        EXPECT_EQ(notice.param1, 1);
        EXPECT_EQ(notice.actual, 23);
        EXPECT_EQ(notice.param2, 0x7FFFFFFF);
        EXPECT_EQ(static_cast<uint32_t>(notice.param3), word) << "read anew for each notice";
        EXPECT_EQ(notice.buffer, nullptr);
        EXPECT_EQ(notice.length, 0);
    }
    EXPECT_EQ(Kernel().LivePackets(), 0u);
}

TEST_F(TcpDeviceTest, NoticeThatCannotBeSentIsDeletedOrReported) {
    struct Case {
        const char* what;
        std::vector<Op> failing;
        bool asserted;
    };
    const Case cases[] = {
        {"no packet", {Op::CreatePacket}, false},
        {"send fails", {Op::SendPacket}, false},
        {"send and delete fail", {Op::SendPacket, Op::DeletePacket}, true},
    };
    TcpDevice& device = StartDevice();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kernel().ClearInjections();
        for (Op op : c.failing) {
            Kernel().Inject(Injection{op});
        }
        const size_t assertsBefore = Kernel().Asserts().size();
        EXPECT_NE(device.SendLoginNotice(), 0);
        EXPECT_TRUE(TakeNotices().empty());
        const auto asserts = Kernel().Asserts();
        ASSERT_EQ(asserts.size(), assertsBefore + (c.asserted ? 1 : 0));
        if (c.asserted) {
            EXPECT_NE(asserts.back().file.find("tcp_device.cpp"), std::string::npos);
            EXPECT_EQ(asserts.back().value, 0);
            EXPECT_EQ(asserts.back().text, "assert(!stat)");
        }
    }
    Kernel().ClearInjections();
    Kernel().Inject(Injection{Op::CreatePacket});
    auto client = LogIn(device);  // the login itself is not affected
    EXPECT_NE(device.clients[0], platform::kInvalidSocket);
    EXPECT_EQ(device.SendLoginNotice(), 0);
    EXPECT_EQ(TakeNotices().size(), 1u);
}

TEST_F(TcpDeviceTest, ClientClosingDuringTheLoginStillCountsAsALogin) {
    TcpDevice& device = StartDevice();
    {
        TcpClient client(BoundPort(device));
        ASSERT_TRUE(client.Send("user\r"));
    }
    EXPECT_FALSE(device.Poll());
    EXPECT_EQ(TakeNotices().size(), 1u);
    ASSERT_EQ(device.clientCount, 1u);
    EXPECT_NE(device.clients[0], platform::kInvalidSocket) << "freed by the next Read, not here";
    EXPECT_EQ(ReadAll(device), "");
    EXPECT_EQ(device.clients[0], platform::kInvalidSocket);
}

TEST_F(TcpDeviceTest, SilentClientHoldsTheLoginNoLongerThanTheBound) {
    TcpDevice& device = StartDevice();
    TcpClient silent(BoundPort(device));
    ASSERT_TRUE(silent.Connected());
    const auto started = Clock::now();
    EXPECT_FALSE(device.Poll());
    const auto took = Clock::now() - started;
    const auto bound = std::chrono::milliseconds(2 * TcpDevice::kLoginAnswerLimitMs);
    EXPECT_GE(took, bound - 100ms);
    EXPECT_LE(took, bound + 5s);
    EXPECT_EQ(silent.Receive(kPromptsSize), kPrompts);
    EXPECT_EQ(TakeNotices().size(), 1u);
    ASSERT_TRUE(silent.Send("late\r"));
    EXPECT_TRUE(WaitForInput(device, 0)) << "the connection stays";
}

TEST_F(TcpDeviceTest, AcceptThatKeepsFailingEndsThePollAfterSixtyFourTries) {
    TcpDevice& device = StartDevice();
    TcpClient client(BoundPort(device));
    ASSERT_TRUE(client.Send("u\rp\r"));
    Faults().calls.accept4 = AcceptOutOfDescriptors;
    Faults().Apply();
    EXPECT_FALSE(device.Poll());
    EXPECT_EQ(failedCalls.load(), TcpDevice::kFailedAcceptLimit);
    EXPECT_EQ(device.clientCount, 0u);

    Faults().calls.accept4 = platform::SystemSocketCalls().accept4;
    EXPECT_FALSE(device.Poll()) << "the connection was still waiting";
    EXPECT_EQ(client.Receive(kPromptsSize), kPrompts);
    EXPECT_TRUE(device.Poll());
    EXPECT_EQ(TakeNotices().size(), 1u);
}

TEST_F(TcpDeviceTest, ClientTableThatCannotGrowTurnsTheClientAwayUngreeted) {
    TcpDevice& device = StartDevice();
    Faults().calls.realloc = ReallocOutOfMemory;
    Faults().Apply();
    TcpClient turnedAway(BoundPort(device));
    ASSERT_TRUE(turnedAway.Connected());
    EXPECT_FALSE(device.Poll());
    std::string received;
    EXPECT_TRUE(turnedAway.ReceiveUntilClosed(received));
    EXPECT_EQ(received, "") << "no prompts";
    EXPECT_TRUE(TakeNotices().empty());
    EXPECT_EQ(device.clientCount, 0u);
    EXPECT_EQ(device.clients, nullptr);

    Faults().calls.realloc = platform::SystemSocketCalls().realloc;
    auto welcome = LogIn(device);
    EXPECT_EQ(device.clientCount, 1u);
    EXPECT_EQ(TakeNotices().size(), 1u);
}

// Input

TEST_F(TcpDeviceTest, EscapeSequenceDeliversTheByteItsLastTwoDigitsName) {
    const struct {
        std::string input;
        std::string delivered;
    } cases[] = {
        {"\x8F" "abc41Z", "AZ"},
        {"\x8F" "xyzFF", "\xFF"},
        {"\x8F" "xyzff", "\x1F"},  // lowercase digits count 32 too high, modulo 256
        {"\x8F" "00000", std::string(1, '\0')},
        {"a\x8F" "---7e" "b", "a\x9E" "b"},
    };
    TcpDevice& device = StartDevice();
    auto client = LogIn(device);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        ASSERT_TRUE(client->Send(c.input));
        ASSERT_TRUE(WaitForInput(device, 0));
        std::string delivered;
        ASSERT_TRUE(WaitUntil([&] {
            delivered += ReadAll(device);
            return delivered.size() >= c.delivered.size();
        }));
        EXPECT_EQ(delivered, c.delivered);
    }
}

TEST_F(TcpDeviceTest, ShortEscapeSequenceDeliversTheEscapeByteAndDropsTheRest) {
    TcpDevice& device = StartDevice();
    auto client = LogIn(device);
    ASSERT_TRUE(client->Send("\x8F" "ab"));
    ASSERT_TRUE(WaitForInput(device, 0));
    EXPECT_EQ(ReadAll(device), "\x8F");
    ASSERT_TRUE(client->Send("Q"));
    ASSERT_TRUE(WaitForInput(device, 0));
    EXPECT_EQ(ReadAll(device), "Q") << "the connection stays";
}

TEST_F(TcpDeviceTest, EscapeSequenceSplitAcrossSegmentsStillDecodes) {
    TcpDevice& device = StartDevice();
    auto client = LogIn(device);
    ASSERT_TRUE(client->Send("\x8F" "ab"));
    std::thread rest([&] {
        std::this_thread::sleep_for(50ms);
        client->Send("c41");
    });
    ASSERT_TRUE(WaitForInput(device, 0));
    const std::string delivered = ReadAll(device);
    rest.join();
    EXPECT_EQ(delivered, "A");
}

TEST_F(TcpDeviceTest, InputComesFromTheLowestIndexFirst) {
    TcpDevice& device = StartDevice();
    auto first = LogIn(device);
    auto second = LogIn(device);
    ASSERT_TRUE(second->Send("bb"));
    ASSERT_TRUE(first->Send("aa"));
    ASSERT_TRUE(WaitForInput(device, 0));
    ASSERT_TRUE(WaitForInput(device, 1));
    EXPECT_EQ(ReadAll(device), "aabb");
}

TEST_F(TcpDeviceTest, ClosedClientsEntryIsFreedAndTakenByTheNextClient) {
    TcpDevice& device = StartDevice();
    auto first = LogIn(device);
    auto second = LogIn(device);
    const int secondSocket = device.clients[1];
    first.reset();
    ASSERT_TRUE(WaitForInput(device, 0));
    EXPECT_EQ(ReadAll(device), "");
    EXPECT_EQ(device.clients[0], platform::kInvalidSocket);
    EXPECT_EQ(device.clientCount, 2u);

    auto third = LogIn(device);
    EXPECT_NE(device.clients[0], platform::kInvalidSocket);
    EXPECT_EQ(device.clients[1], secondSocket);
    EXPECT_EQ(device.clientCount, 2u);
    ASSERT_TRUE(third->Send("3"));
    ASSERT_TRUE(WaitForInput(device, 0));
    EXPECT_EQ(ReadAll(device), "3");
}

TEST_F(TcpDeviceTest, ClientsThatCameAndWentUnnoticedDoNotGrowTheTable) {
    TcpDevice& device = StartDevice();
    auto stays = LogIn(device);
    for (int i = 0; i < 20; ++i) {
        LogIn(device).reset();  // nobody reads or writes in between
    }
    EXPECT_LE(device.clientCount, 3u);
    EXPECT_NE(device.clients[0], platform::kInvalidSocket) << "the live client keeps its entry";
    ASSERT_TRUE(stays->Send("s"));
    ASSERT_TRUE(WaitForInput(device, 0));
    EXPECT_EQ(ReadAll(device), "s");
}

TEST_F(TcpDeviceTest, ClientAfterSixtyFourOthersGetsWritesButIsNotRead) {
    constexpr int kClients = 65;
    constexpr int kBatch = 8;  // stays within the listener's backlog of 10
    TcpDevice& device = StartDevice();
    std::vector<std::unique_ptr<TcpClient>> clients;
    while (clients.size() < kClients) {
        const size_t batchStart = clients.size();
        for (int i = 0; i < kBatch && clients.size() < kClients; ++i) {
            clients.push_back(std::make_unique<TcpClient>(BoundPort(device)));
            ASSERT_TRUE(clients.back()->Send("u\rp\r"));
        }
        EXPECT_FALSE(device.Poll());
        for (size_t i = batchStart; i < clients.size(); ++i) {
            ASSERT_EQ(clients[i]->Receive(kPromptsSize), kPrompts) << i;
        }
    }
    ASSERT_EQ(device.clientCount, 65u);
    EXPECT_EQ(TakeNotices().size(), 65u);

    ASSERT_TRUE(clients[64]->Send("L"));
    ASSERT_TRUE(WaitForInput(device, 64));
    EXPECT_EQ(ReadAll(device), "");
    device.Write(reinterpret_cast<const uint8_t*>("all"), 3);
    EXPECT_EQ(clients[64]->Receive(3), "all");
    EXPECT_EQ(clients[0]->Receive(3), "all");

    clients[0].reset();  // now the 65th is among the first 64 valid entries
    ASSERT_TRUE(WaitForInput(device, 0));
    EXPECT_EQ(ReadAll(device), "");
    EXPECT_EQ(ReadAll(device), "L");
}

// Output

TEST_F(TcpDeviceTest, WriteSendsTheSameBytesToEveryClient) {
    TcpDevice& device = StartDevice();
    Faults().calls.send = CountedSend;
    Faults().Apply();
    device.Write(reinterpret_cast<const uint8_t*>("nobody"), 6);
    EXPECT_EQ(sends.load(), 0);

    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(LogIn(device));
    }
    const std::string data = "P1> hello\r\n";
    device.Write(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint16_t>(data.size()));
    for (auto& client : clients) {
        EXPECT_EQ(client->Receive(data.size()), data);
    }
}

TEST_F(TcpDeviceTest, ClientVanishingDuringABroadcastIsDroppedAndTheRestServed) {
    TcpDevice& device = StartDevice();
    auto first = LogIn(device);
    auto leaving = LogIn(device);
    auto third = LogIn(device);
    leaving->Close();
    size_t written = 0;
    for (int i = 0; i < 100 && device.clients[1] != platform::kInvalidSocket; ++i) {
        device.Write(reinterpret_cast<const uint8_t*>("tick"), 4);
        written += 4;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(device.clients[1], platform::kInvalidSocket);
    EXPECT_EQ(first->Receive(written).size(), written);
    EXPECT_EQ(third->Receive(written).size(), written);
}

TEST_F(TcpDeviceTest, ClientThatStopsReadingHoldsTheOthersNoLongerThanTheBound) {
    TcpDevice& device = StartDevice();
    auto stalled = LogIn(device, "u\rp\r", 4096);
    auto reader = LogIn(device);
    std::atomic<size_t> readerGot{0};
    std::atomic<bool> done{false};
    std::thread draining([&] {
        while (!done) {
            readerGot += reader->Receive(1 << 16, 100ms).size();
        }
    });
    const std::string block(60000, 'w');
    size_t written = 0;
    auto longest = Clock::duration::zero();
    for (int i = 0; i < 500 && device.clients[0] != platform::kInvalidSocket; ++i) {
        const auto started = Clock::now();
        device.Write(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint16_t>(block.size()));
        longest = std::max(longest, Clock::now() - started);
        written += block.size();
    }
    EXPECT_EQ(device.clients[0], platform::kInvalidSocket) << "the stalled client is dropped";
    EXPECT_LE(longest, std::chrono::milliseconds(TcpDevice::kSendStallLimitMs) + 3s);
    EXPECT_TRUE(WaitUntil([&] { return readerGot.load() == written; }, 10s)) << readerGot << " of " << written;
    done = true;
    draining.join();
}

// Readiness failures and dismount

TEST_F(TcpDeviceTest, ReadWhoseLookFailsDeliversNothingAndDropsNobody) {
    TcpDevice& device = StartDevice();
    auto client = LogIn(device);
    ASSERT_TRUE(client->Send("k"));
    ASSERT_TRUE(WaitForInput(device, 0));
    Faults().calls.poll = PollFailing;
    Faults().Apply();
    EXPECT_EQ(ReadAll(device), "");
    EXPECT_EQ(failedCalls.load(), 1);
    EXPECT_NE(device.clients[0], platform::kInvalidSocket);
    Faults().calls.poll = platform::SystemSocketCalls().poll;
    EXPECT_EQ(ReadAll(device), "k");
}

TEST_F(TcpDeviceTest, DismountClosesEveryConnectionAndTheListener) {
    TcpDevice& device = StartDevice();
    auto first = LogIn(device);
    auto second = LogIn(device);
    device.Dismount();
    EXPECT_EQ(device.listenSocket, platform::kInvalidSocket);
    EXPECT_EQ(device.clientCount, 2u);
    EXPECT_EQ(device.clients[0], platform::kInvalidSocket);
    EXPECT_EQ(device.clients[1], platform::kInvalidSocket);
    std::string received;
    EXPECT_TRUE(first->ReceiveUntilClosed(received));
    EXPECT_TRUE(second->ReceiveUntilClosed(received));
    EXPECT_EQ(BoundPort(StartDevice()), 9100) << "the port is free again";
}

}  // namespace
}  // namespace kelmor::test
