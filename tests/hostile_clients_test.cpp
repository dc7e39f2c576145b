// Clients that misbehave on purpose, against a port task serving a TCP port
// while the controller writes and keeps a read pending: one that never ends
// its login answer, one that floods its input, one that stops reading, one
// that opens two hundred connections. Each may cost the others the time
// limits of the device (10 s per login answer, 5 s per stalled send) and no
// more, and the port goes on serving a well-behaved client afterwards.
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "held_tcp_device.h"
#include "private_network.h"
#include "runtime/runtime.h"
#include "tcp_client.h"

namespace kelmor::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kTask = 188;
constexpr auto kLoginBound = std::chrono::milliseconds(2 * TcpDevice::kLoginAnswerLimitMs);
constexpr auto kSendBound = std::chrono::milliseconds(TcpDevice::kSendStallLimitMs);
constexpr auto kMargin = 3s;

// A well-behaved client: logs in, then takes everything on a thread of its own.
class Reader {
public:
    Reader() : client_(kFirstTerminalPort) {}
    ~Reader() { Stop(); }

    bool LogIn() {
        if (!client_.Send("reader\rpw\r") || client_.Receive(kLoginPromptsSize) != kLoginPrompts) {
            return false;
        }
        thread_ = std::thread([this] {
            const auto deadline = Clock::now() + 120s;
            while (!stop_ && Clock::now() < deadline) {
                std::string chunk = client_.Receive(1 << 16, 20ms);
                std::lock_guard lock(mutex_);
                received_ += chunk;
            }
        });
        return true;
    }
    bool Send(const std::string& bytes) { return client_.Send(bytes); }
    // Waits until count bytes came; what came.
    std::string Received(size_t count) {
        WaitUntil([&] { return Size() >= count; }, 10s);
        std::lock_guard lock(mutex_);
        return received_;
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    size_t Size() {
        std::lock_guard lock(mutex_);
        return received_.size();
    }

    TcpClient client_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string received_;
};

// Sends bytes over and over on a thread of its own until told to stop.
class Flood {
public:
    Flood(TcpClient& client, std::string pattern) {
        thread_ = std::thread([this, &client, pattern] {
            std::string block;
            while (block.size() < 4096) {
                block += pattern;
            }
            const auto deadline = Clock::now() + 60s;
            while (!stop_ && Clock::now() < deadline) {
                if (client.Send(block)) {
                    sent_ += block.size();
                } else {
                    // Nothing taken for the client's send limit: the device
                    // reads slower than this sends. Go on sending.
                    std::this_thread::sleep_for(10ms);
                }
            }
        });
    }
    ~Flood() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    uint64_t Sent() const { return sent_; }

private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
};

class HostileClientsTest : public PrivateNetworkTest {
protected:
    void SetUp() override {
        PrivateNetworkTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        Kernel().StartSink(kLoginNoticeTask, "login notices", [this](const Packet&, int) { ++notices_; });
        Kernel().SetEventSink([](const runtime::KernelEvent&) {});
        descriptorsBefore_ = CountDescriptors();
        StartLoop(kTask, &HeldTcpDevice);
        ASSERT_TRUE(WaitUntil([] { return Kernel().Announcements().size() == 1; }));
        read_ = Send(kTask, F_READ, "", 1);
    }

    void TearDown() override {
        PrivateNetworkTest::TearDown();
        heldTcpPort.Forget();
        Kernel().SetEventSink(nullptr);
    }

    // Writes data as one request and waits (at most limit) for its answer;
    // answers to the pending read that come first are collected and the read
    // is queued again. How long the answer took.
    Clock::duration Write(const std::string& data, std::chrono::milliseconds limit = 40s) {
        const auto started = Clock::now();
        Packet* write = Send(kTask, F_WRITE, data);
        for (;;) {
            Packet* answer = Answer(limit);
            if (answer == nullptr) {
                ADD_FAILURE() << "a write was not answered within " << limit.count() << " ms";
                return limit;
            }
            if (answer == read_) {
                TakeRead();
                continue;
            }
            EXPECT_EQ(answer, write);
            EXPECT_EQ(answer->actual, data.size());
            Release(answer);
            written_ += data;
            return Clock::now() - started;
        }
    }

    // Reads answered within limit, until count bytes were delivered.
    void ReadAtLeast(size_t count, std::chrono::milliseconds limit = 5s) {
        while (delivered_.size() < count) {
            Packet* answer = Answer(limit);
            ASSERT_EQ(answer, read_) << "after " << delivered_.size() << " bytes";
            TakeRead();
        }
    }

    // The port still greets a newcomer and sends it the next write.
    void ExpectANewcomerIsServed() {
        TcpClient newcomer(kFirstTerminalPort);
        ASSERT_TRUE(newcomer.Send("late\rpw\r"));
        EXPECT_EQ(newcomer.Receive(kLoginPromptsSize, 10s), kLoginPrompts);
        Write("welcome\r\n");
        EXPECT_EQ(newcomer.Receive(9), "welcome\r\n");
    }

    // Once every client is gone: the port ends, nothing of it stays open.
    void ExpectDescriptorsBack() {
        Packet* dismount = Send(kTask, F_DISMOUNT);
        for (Packet* answer = Answer(); answer != dismount; answer = Answer()) {
            ASSERT_EQ(answer, read_) << "no answer to the dismount";
            Release(read_);
            read_ = nullptr;
        }
        Release(dismount);
        ASSERT_TRUE(Kernel().WaitTaskEnded(kTask, kAnswerLimit));
        if (read_ != nullptr) {
            Release(read_);  // left pending, so ours again
        }
        EXPECT_EQ(CountDescriptors(), descriptorsBefore_);
    }

    std::atomic<int> notices_{0};
    std::string delivered_;
    std::string written_;

private:
    void TakeRead() {
        EXPECT_EQ(read_->actual, 1);
        delivered_.push_back(static_cast<char>(read_->buffer[0]));
        Release(read_);
        read_ = Send(kTask, F_READ, "", 1);
    }

    Packet* read_ = nullptr;
    size_t descriptorsBefore_ = 0;
};

TEST_F(HostileClientsTest, EndlessLoginAnswerHoldsThePortNoLongerThanTheTwoPromptLimits) {
    auto reader = std::make_unique<Reader>();
    ASSERT_TRUE(reader->LogIn());
    auto flooder = std::make_unique<TcpClient>(kFirstTerminalPort);
    ASSERT_TRUE(flooder->Connected());
    Flood flood(*flooder, "x");  // never a carriage return

    auto longest = Clock::duration::zero();
    const auto deadline = Clock::now() + kLoginBound + 2 * kMargin;
    int ticks = 0;
    while (notices_.load() < 2 && Clock::now() < deadline) {
        longest = std::max(longest, Write("tick " + std::to_string(ticks++) + "\r\n"));
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(notices_.load(), 2) << "the flooder's login never ended";
    EXPECT_LE(longest, kLoginBound + kMargin);

    // Its bytes after the login are input; the reader, first in the table, is read first.
    ReadAtLeast(1);
    EXPECT_EQ(delivered_, std::string(delivered_.size(), 'x'));
    ASSERT_TRUE(reader->Send("R"));
    ReadAtLeast(delivered_.size() + 3);
    EXPECT_NE(delivered_.find('R'), std::string::npos);
    flood.Stop();
    flooder.reset();

    ExpectANewcomerIsServed();
    EXPECT_EQ(reader->Received(written_.size()), written_);
    reader.reset();
    ExpectDescriptorsBack();
}

TEST_F(HostileClientsTest, EndlessInputNeitherStopsTheWritesNorTheLogins) {
    auto reader = std::make_unique<Reader>();
    ASSERT_TRUE(reader->LogIn());
    TcpClient flooder(kFirstTerminalPort);
    ASSERT_TRUE(flooder.Send("flood\rpw\r"));
    ASSERT_EQ(flooder.Receive(kLoginPromptsSize), kLoginPrompts);
    Flood flood(flooder, "ab\x8Fxyz41");  // decodes to "abA"

    for (int i = 0; i < 20; ++i) {
        EXPECT_LE(Write("tick " + std::to_string(i) + "\r\n"), kSendBound);
        ReadAtLeast(delivered_.size() + 10);
    }
    ExpectANewcomerIsServed();
    ASSERT_TRUE(reader->Send("R"));
    ReadAtLeast(delivered_.size() + 5);
    flood.Stop();
    flooder.Close();

    const size_t fromReader = delivered_.find('R');
    ASSERT_NE(fromReader, std::string::npos) << "the reader's input waited behind the flood";
    std::string flooded = delivered_;
    flooded.erase(fromReader, 1);
    std::string expected;
    while (expected.size() < flooded.size()) {
        expected += "abA";
    }
    expected.resize(flooded.size());
    EXPECT_EQ(flooded, expected) << "the flood's bytes came out of order or misdecoded";
    EXPECT_EQ(reader->Received(written_.size()), written_);
    RecordProperty("flood_bytes_sent", std::to_string(flood.Sent()));
    RecordProperty("bytes_read", static_cast<int>(delivered_.size()));
    reader.reset();
    ExpectDescriptorsBack();
}

TEST_F(HostileClientsTest, ClientThatStopsReadingCostsOneSendLimitAndMayComeBack) {
    auto reader = std::make_unique<Reader>();
    ASSERT_TRUE(reader->LogIn());
    auto stalled = std::make_unique<TcpClient>(kFirstTerminalPort, 4096);
    ASSERT_TRUE(stalled->Send("stall\rpw\r"));
    ASSERT_EQ(stalled->Receive(kLoginPromptsSize), kLoginPrompts);

    const std::string block(60000, 'w');
    auto longest = Clock::duration::zero();
    for (int i = 0; i < 100 && heldTcpPort.Table().live == 2; ++i) {
        longest = std::max(longest, Write(block));
    }
    EXPECT_EQ(heldTcpPort.Table().live, 1u) << "the stalled client was never dropped";
    EXPECT_LE(longest, kSendBound + kMargin);
    EXPECT_EQ(reader->Received(written_.size()).size(), written_.size());

    // Dropped, not banned: the same program logs in again.
    stalled->Close(true);
    stalled = std::make_unique<TcpClient>(kFirstTerminalPort);
    ASSERT_TRUE(stalled->Send("again\rpw\r"));
    EXPECT_EQ(stalled->Receive(kLoginPromptsSize, 10s), kLoginPrompts);
    Write("back\r\n");
    EXPECT_EQ(stalled->Receive(6), "back\r\n");
    stalled.reset();
    reader.reset();
    ExpectDescriptorsBack();
}

TEST_F(HostileClientsTest, TwoHundredConnectionsTakeTwoHundredEntriesAndGiveThemBack) {
    constexpr int kConnections = 200;
    auto reader = std::make_unique<Reader>();
    ASSERT_TRUE(reader->LogIn());
    ASSERT_TRUE(WaitUntil([&] { return notices_.load() == 1; }));

    std::vector<std::unique_ptr<TcpClient>> opened;
    std::atomic<bool> opening{false};
    std::thread opener;
    auto openAll = [&] {
        opening = true;
        // In batches that fit the listener's queue of 10: a connect that
        // finds the queue full waits a second for the retry of its SYN.
        opener = std::thread([&] {
            constexpr size_t kBatch = 8;
            while (opened.size() < kConnections) {
                const size_t batchStart = opened.size();
                for (size_t i = 0; i < kBatch && opened.size() < kConnections; ++i) {
                    opened.push_back(std::make_unique<TcpClient>(kFirstTerminalPort));
                    opened.back()->Send("u\rp\r");
                }
                for (size_t i = batchStart; i < opened.size(); ++i) {
                    opened[i]->Receive(kLoginPromptsSize, 10s);
                }
            }
            opening = false;
        });
    };
    // The controller writes all the while; each connection logs in and then
    // neither reads nor speaks.
    auto writeUntil = [&](int noticesWanted) {
        const auto deadline = Clock::now() + 60s;
        int tick = 0;
        while ((opening || notices_.load() < noticesWanted) && Clock::now() < deadline) {
            EXPECT_LE(Write("t" + std::to_string(tick++) + "\n"), kSendBound);
            std::this_thread::sleep_for(5ms);
        }
        opener.join();
        ASSERT_EQ(notices_.load(), noticesWanted);
        Write("settled\n");
    };

    openAll();
    writeUntil(1 + kConnections);
    EXPECT_EQ(heldTcpPort.Table().entries, 1u + kConnections);
    EXPECT_EQ(heldTcpPort.Table().live, 1u + kConnections);

    for (auto& client : opened) {
        client->Close(true);
    }
    opened.clear();
    for (int i = 0; i < 3 && heldTcpPort.Table().live > 1; ++i) {
        Write("after\n");
    }
    EXPECT_EQ(heldTcpPort.Table().live, 1u) << "closed connections still held after the writes";

    openAll();
    writeUntil(1 + 2 * kConnections);
    EXPECT_EQ(heldTcpPort.Table().entries, 1u + kConnections) << "the freed entries are taken again";
    EXPECT_EQ(heldTcpPort.Table().live, 1u + kConnections);

    ASSERT_TRUE(reader->Send("G"));
    ReadAtLeast(1);
    EXPECT_EQ(delivered_, "G");
    EXPECT_EQ(reader->Received(written_.size()), written_);
    opened.clear();
    reader.reset();
    ExpectDescriptorsBack();
}

}  // namespace
}  // namespace kelmor::test
