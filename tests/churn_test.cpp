// A TCP port under churn: a thousand clients come and go, many of them in
// the middle of a login, a broadcast or an escape sequence, while the
// controller writes without pause and keeps a read pending. The clients that
// stay must get every byte, in order; the process must end with the
// descriptors it began with and a client table without dead entries.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "held_tcp_device.h"
#include "private_network.h"
#include "runtime/runtime.h"
#include "socket_faults.h"
#include "tcp_client.h"

namespace kelmor::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kTask = 188;
constexpr int kCycles = 1000;
constexpr int kChurners = 4;
constexpr int kStayers = 3;

// The only bytes a churning client ever puts after its login: its escape
// sequences decode to 'A' (complete) or stay 0x8F (cut short).
const std::string kChurnInput = "hi!A\x8F";

// What the controller writes: records "000000042\n" one after another, so a
// reader that joins anywhere can tell whether it lost or reordered a byte.
constexpr size_t kRecord = 10;

char StreamByte(uint64_t offset) {
    const uint64_t record = offset / kRecord;
    const size_t place = offset % kRecord;
    if (place == kRecord - 1) {
        return '\n';
    }
    uint64_t digits = record;
    for (size_t i = place + 1; i < kRecord - 1; ++i) {
        digits /= 10;
    }
    return static_cast<char>('0' + digits % 10);
}

std::string StreamBytes(uint64_t offset, size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = StreamByte(offset + i);
    }
    return bytes;
}

// Whether received is an unbroken piece of the stream, starting anywhere.
bool IsPieceOfTheStream(const std::string& received) {
    const size_t newline = received.find('\n');
    if (newline == std::string::npos || received.size() < newline + kRecord) {
        // Too short to place; it may hold at most one line end.
        return std::count(received.begin(), received.end(), '\n') <= 1;
    }
    uint64_t record = 0;
    for (size_t i = newline + 1; i < newline + kRecord; ++i) {
        if (received[i] < '0' || received[i] > '9') {
            return false;
        }
        record = record * 10 + static_cast<uint64_t>(received[i] - '0');
    }
    if (record * kRecord < newline + 1) {
        return false;
    }
    return received == StreamBytes(record * kRecord - (newline + 1), received.size());
}

// Connections the device found dead: a send that failed (a client gone in
// the middle of a broadcast) or a receive that saw the end of one.
std::atomic<int> failedSends{0};
std::atomic<int> endedReceives{0};

ssize_t CountedSend(int fd, const void* data, size_t length, int flags) {
    const ssize_t sent = ::send(fd, data, length, flags);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
        ++failedSends;
    }
    return sent;
}

ssize_t CountedRecv(int fd, void* buffer, size_t length, int flags) {
    const ssize_t received = ::recv(fd, buffer, length, flags);
    if (received == 0 || (received < 0 && errno != EAGAIN && errno != EINTR)) {
        ++endedReceives;
    }
    return received;
}

// A client that stays connected from before the first write to the end and
// checks each byte against the stream as it comes.
class Stayer {
public:
    Stayer() : client_(kFirstTerminalPort) {}

    bool LogIn() { return client_.Send("stay\rpw\r") && client_.Receive(kLoginPromptsSize) == kLoginPrompts; }
    void StartReading() {
        reader_ = std::thread([this] {
            const auto deadline = Clock::now() + 90s;
            while (!stop_ && Clock::now() < deadline) {
                const std::string chunk = client_.Receive(1 << 16, 20ms);
                for (char byte : chunk) {
                    if (byte != StreamByte(received_)) {
                        mismatch_ = true;
                        return;
                    }
                    ++received_;
                }
            }
        });
    }
    // Waits until total bytes came (or the limit passed) and stops reading.
    uint64_t StopAfter(uint64_t total) {
        WaitUntil([&] { return received_.load() >= total || mismatch_; }, 30s);
        stop_ = true;
        reader_.join();
        return received_;
    }
    bool Mismatch() const { return mismatch_; }
    TcpClient& Client() { return client_; }

private:
    TcpClient client_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> mismatch_{false};
    std::atomic<uint64_t> received_{0};
};

enum class Leave { BeforePrompt, DuringName, DuringPassword, AfterReading, DuringBroadcast, DuringEscape };
constexpr Leave kLeaves[] = {Leave::AfterReading,    Leave::BeforePrompt, Leave::DuringBroadcast,
                             Leave::DuringName,      Leave::DuringEscape, Leave::DuringPassword};

struct ChurnResult {
    std::atomic<int> cycles{0};
    std::atomic<int> connectFailures{0};
    std::atomic<int> brokenPieces{0};
    std::atomic<int> byLeave[6] = {};
};

// One connection, left at the given point.
void Cycle(Leave leave, ChurnResult& result) {
    TcpClient client(kFirstTerminalPort, leave == Leave::DuringBroadcast ? 4096 : 0);
    if (!client.Connected()) {
        ++result.connectFailures;
        return;
    }
    ++result.byLeave[static_cast<int>(leave)];
    std::string received;
    switch (leave) {
        case Leave::BeforePrompt:
            client.Close(true);
            return;
        case Leave::DuringName:
            client.Receive(7, 2s);
            client.Send("us");
            return;
        case Leave::DuringPassword:
            client.Send("user\rpa");
            client.Receive(kLoginPromptsSize, 2s);
            client.Close(true);
            return;
        case Leave::AfterReading:
            client.Send("user\rpass\rhi!\x8Fxyz41");
            received = client.Receive(kLoginPromptsSize + 200, 200ms);
            break;
        case Leave::DuringBroadcast:
            client.Send("u\rp\r");
            received = client.Receive(kLoginPromptsSize + 1, 2s);
            client.Close(true);  // with unread data: a reset
            break;
        case Leave::DuringEscape:
            client.Send("u\rp\r\x8F" "ab");
            received = client.Receive(kLoginPromptsSize, 2s);
            break;
    }
    if (received.compare(0, kLoginPromptsSize, kLoginPrompts) == 0 &&
        !IsPieceOfTheStream(received.substr(kLoginPromptsSize))) {
        ++result.brokenPieces;
    }
}

class ChurnTest : public PrivateNetworkTest {
protected:
    void TearDown() override {
        PrivateNetworkTest::TearDown();
        heldTcpPort.Forget();
    }
};

TEST_F(ChurnTest, ThousandClientsComeAndGoWhileTheControllerWrites) {
    std::atomic<int> notices{0};
    Kernel().StartSink(kLoginNoticeTask, "login notices", [&](const Packet&, int) { ++notices; });
    Kernel().SetEventSink([](const runtime::KernelEvent&) {});
    const size_t descriptorsBefore = CountDescriptors();
    SocketFaults counting;
    counting.calls.send = CountedSend;
    counting.calls.recv = CountedRecv;
    counting.Apply();

    StartLoop(kTask, &HeldTcpDevice);
    ASSERT_TRUE(WaitUntil([] { return Kernel().Announcements().size() == 1; }));
    std::vector<std::unique_ptr<Stayer>> stayers;
    for (int i = 0; i < kStayers; ++i) {
        stayers.push_back(std::make_unique<Stayer>());
        ASSERT_TRUE(stayers.back()->LogIn()) << "stayer " << i;
    }
    ASSERT_TRUE(WaitUntil([&] { return notices.load() == kStayers; }));
    for (auto& stayer : stayers) {
        stayer->StartReading();
    }

    ChurnResult churn;
    std::atomic<int> nextCycle{0};
    std::vector<std::thread> churners;
    for (int i = 0; i < kChurners; ++i) {
        churners.emplace_back([&] {
            for (int cycle = nextCycle++; cycle < kCycles; cycle = nextCycle++) {
                Cycle(kLeaves[cycle % std::size(kLeaves)], churn);
                ++churn.cycles;
            }
        });
    }

    // The controller: one read always pending, writes of every size, each
    // sent once the one before it is answered.
    Packet* read = Send(kTask, F_READ, "", 1);
    std::string delivered;
    uint64_t written = 0;
    uint64_t writes = 0;
    uint32_t seed = 12345;
    const auto deadline = Clock::now() + 100s;
    auto serveAnswers = [&](Packet* awaited) {
        for (;;) {
            Packet* answer = Answer(10s);
            if (answer == nullptr) {
                ADD_FAILURE() << "no answer within 10 s";
                return false;
            }
            if (answer == read) {
                EXPECT_EQ(answer->actual, 1);
                delivered.push_back(static_cast<char>(answer->buffer[0]));
                Release(answer);
                read = Send(kTask, F_READ, "", 1);
                continue;
            }
            EXPECT_EQ(answer, awaited);
            EXPECT_EQ(answer->actual, answer->length);
            Release(answer);
            return answer == awaited;
        }
    };
    while (churn.cycles.load() < kCycles && Clock::now() < deadline) {
        seed = seed * 1103515245 + 12345;
        const size_t size = (seed >> 16) % 16 == 0 ? 4000 + (seed >> 8) % 30000 : 1 + (seed >> 8) % 300;
        Packet* write = Send(kTask, F_WRITE, StreamBytes(written, size));
        written += size;
        ++writes;
        if (!serveAnswers(write)) {
            break;
        }
    }
    for (std::thread& churner : churners) {
        churner.join();
    }
    ASSERT_EQ(churn.cycles.load(), kCycles) << "the cycles did not finish within 100 s";

    // Every churner has gone. Idle passes with the read pending let Read find
    // the closed connections (and take what they left unread); then one write.
    for (int quiet = 0; quiet < 3;) {
        const uint64_t passes = Kernel().Calls(runtime::Op::ReceivePacket, kTask);
        ASSERT_TRUE(WaitUntil([&] { return Kernel().Calls(runtime::Op::ReceivePacket, kTask) >= passes + 4; }));
        if (Packet* answer = Answer(0ms)) {
            ASSERT_EQ(answer, read);
            delivered.push_back(static_cast<char>(answer->buffer[0]));
            Release(answer);
            read = Send(kTask, F_READ, "", 1);
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    Packet* write = Send(kTask, F_WRITE, StreamBytes(written, kRecord));
    written += kRecord;
    ASSERT_TRUE(serveAnswers(write));
    EXPECT_EQ(heldTcpPort.Table().live, static_cast<uint32_t>(kStayers)) << "dead entries left in the table";

    // A stayer's input still reaches the pending read.
    ASSERT_TRUE(stayers[0]->Client().Send("Z"));
    Packet* answer = Answer();
    ASSERT_EQ(answer, read);
    EXPECT_EQ(answer->buffer[0], 'Z');
    Release(answer);

    for (size_t i = 0; i < stayers.size(); ++i) {
        EXPECT_EQ(stayers[i]->StopAfter(written), written) << "stayer " << i;
        EXPECT_FALSE(stayers[i]->Mismatch()) << "stayer " << i << " got a byte out of order";
    }
    EXPECT_EQ(churn.brokenPieces.load(), 0) << "a churner got a broken piece of the stream";
    EXPECT_EQ(churn.connectFailures.load(), 0);
    for (char byte : delivered) {
        EXPECT_NE(kChurnInput.find(byte), std::string::npos) << "read delivered " << int(uint8_t(byte));
    }
    // A closed connection keeps its entry (and descriptor) until a Read or a
    // Write finds it dead, and one Poll may take several connections in a
    // row, so the table holds more than the clients connected at any moment,
    // but nowhere near one entry per client served.
    EXPECT_LE(heldTcpPort.Table().entries, static_cast<uint32_t>(kCycles / 10));
    EXPECT_TRUE(Kernel().Asserts().empty());

    Dismount(kTask);
    stayers.clear();
    EXPECT_EQ(CountDescriptors(), descriptorsBefore);
    EXPECT_TRUE(WaitUntil([&] { return notices.load() == kStayers + kCycles; })) << notices.load();
    RecordProperty("cycles", churn.cycles.load());
    RecordProperty("writes", static_cast<int>(writes));
    RecordProperty("bytes_written", std::to_string(written));
    RecordProperty("bytes_read", static_cast<int>(delivered.size()));
    RecordProperty("failed_sends", failedSends.load());
    RecordProperty("ended_receives", endedReceives.load());
    RecordProperty("table_entries", static_cast<int>(heldTcpPort.Table().entries));
    std::printf("churn: %d cycles, %llu writes, %llu bytes to each stayer, %zu bytes read, "
                "%d failed sends, %d ended receives, table of %u\n",
                churn.cycles.load(), static_cast<unsigned long long>(writes),
                static_cast<unsigned long long>(written), delivered.size(), failedSends.load(),
                endedReceives.load(), heldTcpPort.Table().entries);
    Kernel().SetEventSink(nullptr);
}

}  // namespace
}  // namespace kelmor::test
