// A port mapped to "COM2:" on the Windows communications functions. COM2 is
// one end of a pty pair joined by socat; the test holds the other end as
// COM3 and sees what a device on the cable would.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "child_process.h"
#include "harness.h"

namespace kelmor::test {
namespace {

constexpr uint8_t kTask = 189;  // "P2"

class SerialPeer {
public:
    SerialPeer() {
        line_ = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (line_ == INVALID_HANDLE_VALUE) {
            return;
        }
        DCB settings{};
        settings.DCBlength = sizeof settings;
        GetCommState(line_, &settings);
        settings.BaudRate = 9600;
        settings.ByteSize = 8;
        settings.Parity = NOPARITY;
        settings.StopBits = ONESTOPBIT;
        settings.fBinary = 1;
        settings.fOutX = 0;
        settings.fInX = 0;
        SetCommState(line_, &settings);
        // A read waits at most 100 ms for its first byte.
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 100, 0, 0};
        SetCommTimeouts(line_, &timeouts);
    }
    ~SerialPeer() {
        if (line_ != INVALID_HANDLE_VALUE) {
            CloseHandle(line_);
        }
    }
    bool Open() const { return line_ != INVALID_HANDLE_VALUE; }

    // What arrives within limit, up to count bytes.
    std::string Read(size_t count, std::chrono::milliseconds limit = kAnswerLimit) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            char chunk[64];
            DWORD read = 0;
            const DWORD want = static_cast<DWORD>(std::min(count - got.size(), sizeof chunk));
            if (!ReadFile(line_, chunk, want, &read, nullptr)) {
                break;
            }
            got.append(chunk, read);
        }
        return got;
    }

    bool Write(const std::string& data) {
        DWORD written = 0;
        return WriteFile(line_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
               written == data.size();
    }

private:
    HANDLE line_ = INVALID_HANDLE_VALUE;
};

class SerialDeviceTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        const char* statePath = std::getenv("KELMOR_SERIAL_PAIR_STATE");
        const std::string state = statePath == nullptr ? "skip: no serial pair was set up" : ReadWholeFile(statePath);
        if (state.rfind("ready", 0) != 0) {
            GTEST_SKIP() << (state.empty() ? "skip: the serial pair did not start" : state);
        }
        peer_ = std::make_unique<SerialPeer>();
        ASSERT_TRUE(peer_->Open()) << "COM3, the test's end of the pair, does not open: " << GetLastError();
    }

    std::unique_ptr<SerialPeer> peer_;
};

TEST_F(SerialDeviceTest, SendsOneNulByteAtStartThenWritesAndReadsFlow) {
    MapPort("P2", "com2:");
    StartPortTask(kTask);
    EXPECT_EQ(peer_->Read(1), std::string(1, '\0'));

    Packet* write = Send(kTask, F_WRITE, "hello, line");
    Packet* answer = Answer();
    ASSERT_EQ(answer, write);
    EXPECT_EQ(answer->actual, 11);
    Release(answer);
    EXPECT_EQ(peer_->Read(11), "hello, line");

    // Bytes that arrive come one per read request, in order.
    ASSERT_TRUE(peer_->Write("xy"));
    for (char expected : {'x', 'y'}) {
        Packet* read = Send(kTask, F_READ, "", 4);
        Packet* got = Answer();
        ASSERT_EQ(got, read);
        EXPECT_EQ(got->actual, 1);
        EXPECT_EQ(got->buffer[0], expected);
        Release(got);
    }

    // With nothing on the line a read waits, without holding up the task.
    Packet* read = Send(kTask, F_READ, "", 4);
    EXPECT_EQ(Answer(300ms), nullptr);
    Packet* second = Send(kTask, F_WRITE, "meanwhile");
    ASSERT_EQ(Answer(), second);
    Release(second);
    EXPECT_EQ(peer_->Read(9), "meanwhile");
    ASSERT_TRUE(peer_->Write("z"));
    Packet* late = Answer();
    ASSERT_EQ(late, read);
    EXPECT_EQ(late->buffer[0], 'z');
    Release(late);
    Dismount(kTask);
}

class MissingSerialLineTest : public KernelTest {};

TEST_F(MissingSerialLineTest, DropsWritesAndNeverAnswersReads) {
    MapPort("P3", "COM4:");  // no such line in the test prefix
    StartPortTask(190);
    Packet* write = Send(190, F_WRITE, "nowhere");
    Packet* answer = Answer();
    ASSERT_EQ(answer, write);
    EXPECT_EQ(answer->actual, 7);
    Release(answer);
    Send(190, F_READ, "", 4);
    EXPECT_EQ(Answer(300ms), nullptr);
    Dismount(190);
}

}  // namespace
}  // namespace kelmor::test
