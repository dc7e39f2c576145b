#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>

#include "devices/serial_device.h"
#include "harness.h"
#include "pty_pair.h"

namespace kelmor::test {
namespace {

using namespace std::string_literals;

constexpr uint8_t kP2Task = 189;
const std::string kNul(1, '\0');

class SerialDeviceTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        if (!pty_.Problem().empty()) {
            GTEST_SKIP() << pty_.Problem();
        }
        setenv("KELMOR_COM2", pty_.Ours().c_str(), 1);
        SpoilLine();
    }
    void TearDown() override {
        KernelTest::TearDown();
        unsetenv("KELMOR_COM2");
        unsetenv("KELMOR_COM3");
    }

    // Every test begins with the line cooked and wrong in each setting the
    // device owns, plus VINTR and IGNPAR, which it must keep.
    void SpoilLine() {
        const int fd = open(pty_.Ours().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios line{};
        ASSERT_EQ(tcgetattr(fd, &line), 0);
        cfsetispeed(&line, B38400);
        cfsetospeed(&line, B38400);
        line.c_cflag = (line.c_cflag & ~(CSIZE | CLOCAL)) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
        line.c_iflag = (line.c_iflag & ~(INPCK | IXON | IXOFF)) | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK |
                       IXANY | IGNPAR;
        line.c_oflag |= OPOST | ONLCR;
        line.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
        line.c_cc[VSTART] = 'a';
        line.c_cc[VSTOP] = 'b';
        line.c_cc[VMIN] = 1;
        line.c_cc[VTIME] = 5;
        line.c_cc[VINTR] = 0x07;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &line), 0);
        close(fd);
    }

    // Starts device on COM2 and takes the NUL byte it sends from the peer.
    void StartOnCom2(SerialDevice& device) {
        device.Start(2);
        ASSERT_NE(device.handle, platform::kInvalidCommHandle);
        ASSERT_EQ(pty_.ReadPeer(1, kAnswerLimit), kNul);
    }

    // Runs call on a thread of its own. Should it still be blocked after
    // limit, socat is ended: its hang-up makes the blocked read or write return.
    bool ReturnsWithin(const std::function<void()>& call, std::chrono::milliseconds limit) {
        auto done = std::async(std::launch::async, call);
        if (done.wait_for(limit) == std::future_status::ready) {
            return true;
        }
        pty_.Stop();
        done.wait();
        return false;
    }

    // Whether the tty is in exclusive mode, which keeps out programs that
    // take no lock. Only root may open it then, so a refusal also says yes.
    bool LineIsExclusive() {
        const int fd = open(pty_.Ours().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            return errno == EBUSY;
        }
        int exclusive = 0;
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        close(fd);
        return exclusive != 0;
    }

    // No handle; writes go nowhere, reads deliver nothing, dismount is harmless.
    static void ExpectBehavesAsMissingLine(SerialDevice& device) {
        EXPECT_EQ(device.handle, platform::kInvalidCommHandle);
        device.Write(reinterpret_cast<const uint8_t*>("data"), 4);
        uint8_t byte = 0x5A;
        uint16_t count = 9;
        device.Read(&byte, &count);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(byte, 0x5A);
        device.Dismount();
    }

    PtyPair pty_;
};

TEST_F(SerialDeviceTest, StartSendsOneNulBeforeAnythingElse) {
    SerialDevice device;
    device.Start(2);
    EXPECT_EQ(device.comNumber, 2);
    EXPECT_EQ(device.baudRate, 9600u);
    ASSERT_NE(device.handle, platform::kInvalidCommHandle);
    device.Write(reinterpret_cast<const uint8_t*>("x"), 1);
    EXPECT_EQ(pty_.ReadPeer(2, kAnswerLimit), "\0x"s);
    device.Dismount();
}

TEST_F(SerialDeviceTest, StartSetsTheLineUpAndKeepsWhatItDoesNotName) {
    SerialDevice device;
    StartOnCom2(device);
    termios line{};
    ASSERT_EQ(tcgetattr(device.handle, &line), 0);
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));

    struct Flag {
        const char* name;
        tcflag_t termios::*field;
        tcflag_t mask;
        tcflag_t wanted;
    };
    const Flag flags[] = {
        {"cs8", &termios::c_cflag, CSIZE, CS8},
        {"-parenb -parodd", &termios::c_cflag, PARENB | PARODD, 0},
        {"-cstopb", &termios::c_cflag, CSTOPB, 0},
        {"-crtscts", &termios::c_cflag, CRTSCTS, 0},
        {"clocal cread", &termios::c_cflag, CLOCAL | CREAD, CLOCAL | CREAD},
        {"inpck", &termios::c_iflag, INPCK, INPCK},
        {"ixon ixoff -ixany", &termios::c_iflag, IXON | IXOFF | IXANY, IXON | IXOFF},
        {"no CR/LF translation", &termios::c_iflag, ICRNL | INLCR | IGNCR, 0},
        {"-istrip -parmrk", &termios::c_iflag, ISTRIP | PARMRK, 0},
        {"ignpar kept", &termios::c_iflag, IGNPAR, IGNPAR},
        {"-opost", &termios::c_oflag, OPOST, 0},
        {"-icanon -echo -echonl -isig -iexten", &termios::c_lflag, ICANON | ECHO | ECHONL | ISIG | IEXTEN, 0},
    };
    for (const Flag& flag : flags) {
        EXPECT_EQ(line.*flag.field & flag.mask, flag.wanted) << flag.name;
    }
    EXPECT_EQ(line.c_cc[VSTART], 0x11);
    EXPECT_EQ(line.c_cc[VSTOP], 0x13);
    EXPECT_EQ(line.c_cc[VMIN], 0) << "reads must not wait for a byte";
    EXPECT_EQ(line.c_cc[VTIME], 0) << "reads must not wait for a time";
    EXPECT_EQ(line.c_cc[VINTR], 0x07) << "kept";
    device.Dismount();
}

TEST_F(SerialDeviceTest, PeerBytesComeOutOfReadOneACallInOrderUntranslated) {
    SerialDevice device;
    StartOnCom2(device);
    // Line-editing, signal and end-of-file bytes too; XON and XOFF belong to
    // the line's flow control and never reach a reader.
    const std::string sent = "a\r\nb\0\x03\x04\x16\x1a\x7f\xff"s;
    ASSERT_TRUE(pty_.WritePeer(sent));
    std::string received;
    ASSERT_TRUE(WaitUntil([&] {
        uint8_t buffer[2] = {0, 0xEE};
        uint16_t count = 0xBEEF;
        device.Read(buffer, &count);
        EXPECT_LE(count, 1);
        EXPECT_EQ(buffer[1], 0xEE) << "one byte a call";
        received.append(reinterpret_cast<const char*>(buffer), count == 1 ? 1 : 0);
        return received.size() >= sent.size() || count > 1;
    })) << "got " << received.size() << " of " << sent.size();
    EXPECT_EQ(received, sent);
    device.Dismount();
}

TEST_F(SerialDeviceTest, ReadWithNothingWaitingReturnsAtOnceWithZero) {
    SerialDevice device;
    StartOnCom2(device);
    uint8_t buffer = 0x5A;
    uint16_t count = 7;
    ASSERT_TRUE(ReturnsWithin([&] { device.Read(&buffer, &count); }, kAnswerLimit)) << "Read waited for input";
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buffer, 0x5A);
    device.Dismount();
}

TEST_F(SerialDeviceTest, LongestWriteArrivesWhole) {
    SerialDevice device;
    StartOnCom2(device);
    std::string data(65535, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i % 251);
    }
    auto arrived = std::async(std::launch::async, [&] { return pty_.ReadPeer(data.size(), 30s); });
    EXPECT_TRUE(ReturnsWithin(
        [&] { device.Write(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint16_t>(data.size())); },
        30s));
    const std::string got = arrived.get();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the bytes differ";
    device.Dismount();
}

TEST_F(SerialDeviceTest, OpenAndCloseLeaveTheLineOpenAndSetUp) {
    SerialDevice device;
    StartOnCom2(device);
    termios before{};
    ASSERT_EQ(tcgetattr(device.handle, &before), 0);
    for (int i = 0; i < 3; ++i) {
        device.Open();
        EXPECT_TRUE(device.Poll());
        device.Close();
    }
    termios after{};
    ASSERT_EQ(tcgetattr(device.handle, &after), 0);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc), 0);

    device.Write(reinterpret_cast<const uint8_t*>("w"), 1);
    EXPECT_EQ(pty_.ReadPeer(1, kAnswerLimit), "w");
    ASSERT_TRUE(pty_.WritePeer("r"));
    uint8_t byte = 0;
    uint16_t count = 0;
    EXPECT_TRUE(WaitUntil([&] {
        device.Read(&byte, &count);
        return count == 1;
    }));
    EXPECT_EQ(byte, 'r');
    device.Dismount();
}

TEST_F(SerialDeviceTest, SecondDeviceOnTheLineBehavesAsAMissingLineAndDismountReleasesIt) {
    SerialDevice first;
    StartOnCom2(first);
    EXPECT_TRUE(LineIsExclusive());
    SerialDevice second;
    second.Start(2);
    ExpectBehavesAsMissingLine(second);

    // Had the second device sent its NUL or its bytes, they would come first.
    first.Write(reinterpret_cast<const uint8_t*>("k"), 1);
    EXPECT_EQ(pty_.ReadPeer(1, kAnswerLimit), "k");
    first.Dismount();
    EXPECT_FALSE(LineIsExclusive());

    SerialDevice third;
    StartOnCom2(third);
    third.Dismount();
}

TEST_F(SerialDeviceTest, LineThatCannotBeOpenedDropsWritesAndReadsNothing) {
    const std::string plainFile = ::testing::TempDir() + "kelmor-not-a-line-" + std::to_string(getpid());
    std::ofstream(plainFile, std::ios::trunc).close();
    struct Case {
        const char* what;
        std::string path;
    };
    for (const Case& c : {Case{"missing", "/nonexistent/kelmor-line"}, Case{"not a terminal", plainFile}}) {
        SCOPED_TRACE(c.what);
        setenv("KELMOR_COM3", c.path.c_str(), 1);
        SerialDevice device;
        device.Start(3);
        EXPECT_EQ(device.comNumber, 3);
        ExpectBehavesAsMissingLine(device);
    }
    EXPECT_EQ(ReadWholeFile(plainFile), "");
}

TEST_F(SerialDeviceTest, PortTaskOnCom2AnswersReadsWithTheLinesBytes) {
    MapPort("P2", "com2:");
    StartPortTask(kP2Task);
    ASSERT_EQ(pty_.ReadPeer(1, kAnswerLimit), kNul);

    Packet* write = Send(kP2Task, F_WRITE, "hello");
    Packet* answer = Answer();
    ASSERT_EQ(answer, write);
    EXPECT_EQ(answer->actual, 5);
    Release(answer);
    EXPECT_EQ(pty_.ReadPeer(5, kAnswerLimit), "hello");

    Packet* read = Send(kP2Task, F_READ, "", 1);
    ASSERT_TRUE(pty_.WritePeer("q"));
    answer = Answer();
    ASSERT_EQ(answer, read);
    EXPECT_EQ(answer->status, 0);
    EXPECT_EQ(answer->actual, 1);
    EXPECT_EQ(answer->buffer[0], 'q');
    Release(answer);

    Dismount(kP2Task);
    SerialDevice after;
    StartOnCom2(after);
    after.Dismount();
}

}  // namespace
}  // namespace kelmor::test
