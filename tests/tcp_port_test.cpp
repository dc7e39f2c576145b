// Ports mapped to "TCP:" as the controller uses them: a real port task behind
// its loop, and kelmor-host with real client programs (telnet driven by
// expect, socat).
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <string>

#include "child_process.h"
#include "private_network.h"
#include "tcp_client.h"

namespace kelmor::test {
namespace {

constexpr uint8_t kP1 = 188;
constexpr uint8_t kP2 = 189;
constexpr const char* kPrompts = "login: password: ";
constexpr size_t kPromptsSize = 17;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A client connected as soon as the port listens.
std::unique_ptr<TcpClient> ConnectWhenListening(uint16_t port) {
    std::unique_ptr<TcpClient> client;
    WaitUntil([&] {
        client = std::make_unique<TcpClient>(port);
        return client->Connected();
    });
    return client;
}

class TcpPortTest : public PrivateNetworkTest {
protected:
    void SetUp() override {
        PrivateNetworkTest::SetUp();
        if (!IsSkipped()) {
            Kernel().CreateTask(kLoginNoticeTask, "login notices");
        }
    }

    bool NoticeQueued(std::chrono::milliseconds limit) {
        auto delivery = Kernel().Await(kLoginNoticeTask, limit);
        if (!delivery) {
            return false;
        }
        EXPECT_EQ(delivery->packet->request, F_LOGIN_NOTICE);
        EXPECT_EQ(rt_delete_packet(delivery->packet), 0);
        return true;
    }
};

TEST_F(TcpPortTest, PortTaskGreetsClientsAndCarriesTheirInputAndItsOutput) {
    MapPort("P1", "TCP:");
    StartPortTask(kP1);
    auto client = ConnectWhenListening(9100);
    ASSERT_TRUE(client->Connected());
    ASSERT_TRUE(client->Send("operator\r\nsecret\r"));
    EXPECT_EQ(client->Receive(kPromptsSize), kPrompts);
    EXPECT_TRUE(NoticeQueued(kAnswerLimit));
    EXPECT_EQ(Kernel().ConsoleText(), "[KELMOR] Ready for connections at 9100\n");

    Packet* read = Send(kP1, F_READ, "", 1);
    ASSERT_TRUE(client->Send("x"));
    ASSERT_EQ(Answer(), read);
    EXPECT_EQ(read->actual, 1);
    EXPECT_EQ(read->buffer[0], 'x');
    Release(read);

    Packet* write = Send(kP1, F_WRITE, "ready\r\n");
    ASSERT_EQ(Answer(), write);
    Release(write);
    EXPECT_EQ(client->Receive(7), "ready\r\n");

    Dismount(kP1);
    std::string rest;
    EXPECT_TRUE(client->ReceiveUntilClosed(rest));
}

TEST_F(TcpPortTest, TwoTcpPortsTakeConsecutivePortNumbers) {
    MapPort("P1", "TCP:");
    MapPort("P2", "tcp:");
    StartPortTask(kP1);
    ASSERT_TRUE(WaitUntil([] { return Kernel().Announcements().size() == 1; }));
    StartPortTask(kP2);
    ASSERT_TRUE(WaitUntil([] { return Kernel().Announcements().size() == 2; }));
    const auto announced = Kernel().Announcements();
    EXPECT_EQ(announced[0].task, kP1);
    EXPECT_EQ(announced[0].service, 2);
    EXPECT_EQ(announced[0].tcpPort, 9100);
    EXPECT_EQ(announced[1].task, kP2);
    EXPECT_EQ(announced[1].service, 3);
    EXPECT_EQ(announced[1].tcpPort, 9101);
    EXPECT_EQ(announced[1].text, "Unknown");
}

TEST_F(TcpPortTest, TcpPortsStartingAtOnceTakeDifferentPorts) {
    MapPort("P1", "TCP:");
    MapPort("P2", "TCP:");
    StartPortTask(kP1);
    StartPortTask(kP2);
    ASSERT_TRUE(WaitUntil([] { return Kernel().Announcements().size() == 2; }));
    const auto announced = Kernel().Announcements();
    EXPECT_EQ(announced[0].tcpPort + announced[1].tcpPort, 9100 + 9101);
    EXPECT_NE(announced[0].tcpPort, announced[1].tcpPort);
}

// With a client wait, the loop serves a packet queued at start only after
// the first client's login (which ends the wait); without one it serves the
// packet before it ever polls. The port task's own calls tell the order: a
// notice starts with rt_create_packet, the answer is a plain rt_send_packet.
TEST_F(TcpPortTest, WaitingPortLetsItsFirstClientLogInBeforeServingPackets) {
    const struct {
        const char* wait;
        bool noticeFirst;
    } cases[] = {{"P0,P1", true}, {"P2", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wait);
        Kernel().Reset();
        Kernel().AttachThread(kController);
        Kernel().CreateTask(kLoginNoticeTask);
        Kernel().SetTracing(true);
        MapPort("P1", "TCP:");
        MapPort("Wait", c.wait);
        Kernel().CreateTask(kP1);
        Packet* early = Send(kP1, 0);
        StartPortTask(kP1);
        auto client = ConnectWhenListening(9100);
        ASSERT_TRUE(client->Send("u\rp\r"));
        ASSERT_EQ(Answer(), early);
        Release(early);
        EXPECT_EQ(client->Receive(kPromptsSize), kPrompts);
        EXPECT_TRUE(NoticeQueued(kAnswerLimit));
        Dismount(kP1);

        bool noticeFirst = false;
        for (const auto& [task, op] : Kernel().Trace()) {
            if (task == kP1 && (op == runtime::Op::CreatePacket || op == runtime::Op::SendPacket)) {
                noticeFirst = op == runtime::Op::CreatePacket;
                break;
            }
        }
        EXPECT_EQ(noticeFirst, c.noticeFirst);
    }
}

TEST_F(TcpPortTest, WaitingPortWithoutAClientWaitsItsFullTime) {
    MapPort("P1", "TCP:");
    MapPort("Wait", "P1");
    Kernel().CreateTask(kP1);
    Packet* early = Send(kP1, 0);
    const auto started = std::chrono::steady_clock::now();
    StartPortTask(kP1);
    ASSERT_EQ(Answer(), early);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 16 * 15ms);
    Release(early);
}

// kelmor-host with real client programs.

class TcpHostTest : public PrivateNetworkTest {
protected:
    static bool Installed(const char* program) { return access(program, X_OK) == 0; }

    static std::string WriteScript(const std::string& name, const std::string& text) {
        const std::string path = ::testing::TempDir() + name;
        std::ofstream(path) << text;
        return path;
    }

    static void ExpectCleanExit(ChildProcess& child, std::chrono::milliseconds limit) {
        const auto status = child.Wait(limit);
        ASSERT_TRUE(status) << "did not end";
        ASSERT_TRUE(WIFEXITED(*status)) << child.Stderr();
        EXPECT_EQ(WEXITSTATUS(*status), 0) << child.Stdout() << child.Stderr();
    }
};

// The lines in which the host's task 68 logs a login notice, each checked
// for the notice's fields.
constexpr const char* kNoticeLine = "[host] task 68 got request 25";

size_t LoggedNotices(const std::string& log) {
    size_t notices = 0;
    for (size_t at = log.find(kNoticeLine); at != std::string::npos; at = log.find(kNoticeLine, at + 1)) {
        const std::string line = log.substr(at, log.find('\n', at) - at);
        for (const char* field : {"status 0 ", "param1 1 ", "actual 23 ", "param3 0"}) {
            EXPECT_TRUE(Contains(line, field)) << line;
        }
        EXPECT_TRUE(Contains(line, "param2 2147483647") || Contains(line, "param2 0x7FFFFFFF")) << line;
        ++notices;
    }
    return notices;
}

TEST_F(TcpHostTest, TelnetClientLogsInAndIsClosedWhenTheHostStops) {
    if (!Installed("/usr/bin/expect") || !Installed("/usr/bin/telnet")) {
        GTEST_SKIP() << "needs expect and telnet (scripts/install-deps installs them)";
    }
    ChildProcess host({KELMOR_HOST_PATH, "--library", KELMOR_LIBRARY_PATH, "--map", "P1=TCP:", "--tasks", "188",
                       "--duration", "60"});
    ASSERT_TRUE(host.WaitForOutput("[KELMOR] Ready for connections at 9100\n", 10s)) << host.Stderr();

    const std::string script = WriteScript("telnet-login.exp", R"(
set timeout 10
spawn /usr/bin/telnet 127.0.0.1 9100
expect {
    timeout { exit 2 }
    "login: "
}
send "robot\r"
expect {
    timeout { exit 3 }
    "password: "
}
send "secret\r"
set timeout 20
expect {
    timeout { exit 4 }
    "Connection closed by foreign host"
}
exit 0
)");
    ChildProcess telnet({"/usr/bin/expect", script});
    ASSERT_TRUE(host.WaitForOutput(kNoticeLine, 15s, true)) << host.Stderr() << telnet.Stdout();
    host.Signal(SIGTERM);
    ExpectCleanExit(host, 10s);
    ExpectCleanExit(telnet, 15s);
    EXPECT_TRUE(Contains(telnet.Stdout(), "login: robot")) << telnet.Stdout();
    EXPECT_TRUE(Contains(telnet.Stdout(), "password: ")) << telnet.Stdout();
    EXPECT_EQ(LoggedNotices(host.Stderr()), 1u) << host.Stderr();
}

TEST_F(TcpHostTest, SocatClientsAreGreetedOnBothOfTwoTcpPorts) {
    if (!Installed("/usr/bin/socat")) {
        GTEST_SKIP() << "needs socat (scripts/install-deps installs it)";
    }
    ChildProcess host({KELMOR_HOST_PATH, "--library", KELMOR_LIBRARY_PATH, "--map", "P1=TCP:", "--map", "P2=TCP:",
                       "--tasks", "188,189", "--duration", "60"});
    ASSERT_TRUE(host.WaitForOutput("[KELMOR] Ready for connections at 9100\n", 10s)) << host.Stderr();
    ASSERT_TRUE(host.WaitForOutput("[KELMOR] Ready for connections at 9101\n", 10s)) << host.Stdout();
    for (const char* port : {"9100", "9101"}) {
        SCOPED_TRACE(port);
        ChildProcess socat({"/bin/sh", "-c",
                            std::string("printf 'user\\r\\npass\\r\\n' | /usr/bin/socat -t 1 - TCP:127.0.0.1:") + port});
        ExpectCleanExit(socat, 15s);
        EXPECT_EQ(socat.Stdout(), kPrompts);
    }
    host.Signal(SIGTERM);
    ExpectCleanExit(host, 10s);
    EXPECT_EQ(LoggedNotices(host.Stderr()), 2u) << host.Stderr();
}

}  // namespace
}  // namespace kelmor::test
