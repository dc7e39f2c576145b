// A port mapped to "TCP:" on Windows Sockets: the port search, the login
// exchange and its notice, byte-at-a-time input with the escape sequence,
// and output to every client, all through a running port task on loopback.
#include <string>

#include "harness.h"
#include "winsock_client.h"

namespace kelmor::test {
namespace {

constexpr uint8_t kTask = 188;  // "P1", service 2
constexpr uint16_t kFirstPort = 9100;

class TcpDeviceTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        Kernel().CreateTask(kLoginNoticeTask, "login notices");
        Kernel().SetLoginWord(0x1234);
    }

    // Starts the port and waits for its listener; the port it took.
    int StartTcpPort() {
        MapPort("P1", "TCP:");
        StartPortTask(kTask);
        const std::string ready = "[KELMOR] Ready for connections at ";
        EXPECT_TRUE(WaitUntil([&] { return Kernel().ConsoleText().find(ready) != std::string::npos; }))
            << Kernel().ConsoleText();
        const std::string console = Kernel().ConsoleText();
        const auto at = console.find(ready);
        return at == std::string::npos ? 0 : std::stoi(console.substr(at + ready.size()));
    }

    // Connects and answers both prompts; the notice for it reaches task 68.
    void LogIn(WinsockClient& client, int port, std::string_view passwordAnswer) {
        ASSERT_TRUE(client.Connect(static_cast<uint16_t>(port)));
        ASSERT_TRUE(client.Expect("login: "));
        ASSERT_TRUE(client.Send("operator\r"));
        ASSERT_TRUE(client.Expect("password: "));
        ASSERT_TRUE(client.Send(passwordAnswer));
        auto notice = Kernel().Await(kLoginNoticeTask, kAnswerLimit);
        ASSERT_TRUE(notice) << "no login notice";
        const Packet& packet = *notice->packet;
        EXPECT_EQ(packet.request, F_LOGIN_NOTICE);
        EXPECT_EQ(packet.status, 0);
        EXPECT_EQ(packet.param1, 1);
        EXPECT_EQ(packet.actual, 23);
        EXPECT_EQ(packet.param2, 0x7FFFFFFF);
        EXPECT_EQ(packet.param3, 0x1234);
        EXPECT_EQ(rt_delete_packet(notice->packet), 0);
    }

    // One byte through a read request.
    int ReadByte() {
        Packet* read = Send(kTask, F_READ, "", 8);
        Packet* answer = Answer();
        EXPECT_EQ(answer, read);
        if (answer != read) {
            return -1;
        }
        EXPECT_EQ(answer->actual, 1);
        const int byte = answer->buffer[0];
        Release(answer);
        return byte;
    }
};

TEST_F(TcpDeviceTest, TakesTheNextPortGreetsClientsAndServesThemByteByByte) {
    PortHolder taken(kFirstPort);
    if (!taken.Holds()) {
        GTEST_SKIP() << "port " << kFirstPort << " is in use on this machine";
    }
    const int port = StartTcpPort();
    EXPECT_EQ(port, kFirstPort + 1);
    const auto announcements = Kernel().Announcements();
    ASSERT_EQ(announcements.size(), 1u);
    EXPECT_EQ(announcements[0].service, 2);
    EXPECT_EQ(announcements[0].tcpPort, kFirstPort + 1);

    WinsockClient first;
    LogIn(first, port, "secret\r\n");
    // The line feed after the password's carriage return is input.
    EXPECT_EQ(ReadByte(), '\n');
    ASSERT_TRUE(first.Send("\x8F" "abc41" "\x8F" "xyzFF"));
    EXPECT_EQ(ReadByte(), 0x41);
    EXPECT_EQ(ReadByte(), 0xFF);

    WinsockClient second;
    LogIn(second, port, "\r");
    Packet* write = Send(kTask, F_WRITE, "to everyone");
    Packet* answer = Answer();
    ASSERT_EQ(answer, write);
    EXPECT_EQ(answer->actual, 11);
    Release(answer);
    EXPECT_TRUE(first.Expect("to everyone"));
    EXPECT_TRUE(second.Expect("to everyone"));

    Dismount(kTask);
    EXPECT_TRUE(first.ClosedByPeer());
    EXPECT_TRUE(second.ClosedByPeer());
}

TEST_F(TcpDeviceTest, AClosedClientsEntryIsFreedAndTheOthersKeepBeingServed) {
    const int port = StartTcpPort();
    ASSERT_NE(port, 0);
    WinsockClient leaving;
    LogIn(leaving, port, "\r");
    WinsockClient staying;
    LogIn(staying, port, "\r");
    leaving.Close();

    ASSERT_TRUE(staying.Send("z"));
    EXPECT_EQ(ReadByte(), 'z');
    Packet* write = Send(kTask, F_WRITE, "still");
    ASSERT_EQ(Answer(), write);
    Release(write);
    EXPECT_TRUE(staying.Expect("still"));
    Dismount(kTask);
}

}  // namespace
}  // namespace kelmor::test
