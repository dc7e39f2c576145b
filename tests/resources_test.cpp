// Port tasks when the PC runs out of something: descriptors while clients
// connect to a TCP port, space or a folder under a file port, the line under
// a serial port. No crash, no busy loop, requests answered as always, and
// service back once the resource is.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "held_tcp_device.h"
#include "private_network.h"
#include "pty_pair.h"
#include "runtime/runtime.h"
#include "socket_faults.h"
#include "tcp_client.h"

namespace kelmor::test {
namespace {

using Clock = std::chrono::steady_clock;
using runtime::Op;

constexpr uint8_t kP1 = 188;
constexpr uint8_t kP2 = 189;
constexpr uint8_t kP3 = 190;
constexpr int kIdleWaitMs = 24;

std::atomic<uint64_t> accepts{0};
int CountedAccept(int fd, sockaddr* address, socklen_t* length, int flags) {
    ++accepts;
    return ::accept4(fd, address, length, flags);
}

// A client socket made now and connected later, when no descriptor is left.
class LateClient {
public:
    LateClient() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~LateClient() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool Connect() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kFirstTerminalPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
               send(fd_, "u\rp\r", 4, MSG_NOSIGNAL) == 4;
    }
    // Whatever came within limit, up to count bytes.
    std::string Receive(size_t count, std::chrono::milliseconds limit) {
        std::string got;
        const auto deadline = Clock::now() + limit;
        while (got.size() < count && Clock::now() < deadline) {
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 10) == 1) {
                char chunk[64];
                const ssize_t n = recv(fd_, chunk, std::min(sizeof chunk, count - got.size()), MSG_DONTWAIT);
                if (n <= 0) {
                    break;
                }
                got.append(chunk, static_cast<size_t>(n));
            }
        }
        return got;
    }

private:
    int fd_;
};

class ResourcesTest : public PrivateNetworkTest {
protected:
    void TearDown() override {
        PrivateNetworkTest::TearDown();
        heldTcpPort.Forget();
    }

    // Sends a write and expects it answered in full.
    void ExpectWriteAnswered(uint8_t task, const std::string& data) {
        Packet* write = Send(task, F_WRITE, data);
        Packet* answer = Answer();
        ASSERT_EQ(answer, write);
        EXPECT_EQ(answer->status, 0);
        EXPECT_EQ(answer->actual, data.size());
        Release(answer);
    }
};

TEST_F(ResourcesTest, NoDescriptorsLeftMeansNoBusyLoopAndTheWaitingClientsComeInLater) {
    std::atomic<int> notices{0};
    Kernel().StartSink(kLoginNoticeTask, "login notices", [&](const Packet&, int) { ++notices; });
    Kernel().SetEventSink([](const runtime::KernelEvent&) {});
    SocketFaults counting;
    counting.calls.accept4 = CountedAccept;
    counting.Apply();
    StartLoop(kP1, &HeldTcpDevice);
    ASSERT_TRUE(WaitUntil([] { return Kernel().Announcements().size() == 1; }));
    TcpClient reader(kFirstTerminalPort);
    ASSERT_TRUE(reader.Send("r\rp\r"));
    ASSERT_EQ(reader.Receive(kLoginPromptsSize), kLoginPrompts);
    LateClient late[2];
    // What the test does while no descriptor is left, it does once before:
    // the first check of a type by UndefinedBehaviorSanitizer needs one.
    ExpectWriteAnswered(kP1, "first\r\n");
    ASSERT_EQ(reader.Receive(7), "first\r\n");

    // The lowest free descriptor becomes the limit: the next one made fails.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (LateClient& client : late) {
        EXPECT_TRUE(client.Connect());
    }

    // Connections wait, accept fails; the loop still blocks between its tries.
    ASSERT_TRUE(WaitUntil([] { return accepts.load() >= TcpDevice::kFailedAcceptLimit; }));
    const uint64_t acceptsBefore = accepts.load();
    const auto started = Clock::now();
    std::this_thread::sleep_for(500ms);
    const uint64_t tries = accepts.load() - acceptsBefore;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    // Each pass tries at most 64 times and then waits the idle wait.
    EXPECT_LE(tries, static_cast<uint64_t>(TcpDevice::kFailedAcceptLimit) * (elapsed / kIdleWaitMs + 2));
    EXPECT_GT(tries, 0u) << "the waiting connections are tried again";
    ExpectWriteAnswered(kP1, "still here\r\n");
    EXPECT_EQ(reader.Receive(12), "still here\r\n") << "the clients already in are served";
    EXPECT_EQ(late[0].Receive(1, 100ms), "") << "not greeted without a descriptor";

    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    for (LateClient& client : late) {
        EXPECT_EQ(client.Receive(kLoginPromptsSize, 5s), kLoginPrompts) << "greeted once descriptors are back";
    }
    EXPECT_TRUE(WaitUntil([&] { return notices.load() == 3; }));
    ExpectWriteAnswered(kP1, "all\r\n");
    EXPECT_EQ(late[1].Receive(5, 3s), "all\r\n");
    RecordProperty("accepts_in_500ms", std::to_string(tries));
    Kernel().SetEventSink(nullptr);
}

// A tmpfs of 64 KiB in a mount namespace of this process's own, filled up.
class FullFileSystem {
public:
    FullFileSystem() {
        folder_ = "/tmp/kelmor-full-" + std::to_string(getpid());
        if (unshare(CLONE_NEWNS) != 0) {
            problem_ = std::string("no private mount namespace: ") + std::strerror(errno);
            return;
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || mkdir(folder_.c_str(), 0755) != 0 ||
            mount("kelmor-full", folder_.c_str(), "tmpfs", 0, "size=64k") != 0) {
            problem_ = std::string("cannot mount a small tmpfs: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
        FILE* filler = std::fopen(Filler().c_str(), "w");
        const std::string block(4096, 'f');
        while (filler != nullptr && std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
               std::fflush(filler) == 0) {
        }
        if (filler != nullptr) {
            std::fclose(filler);
        }
    }
    ~FullFileSystem() {
        if (mounted_) {
            umount(folder_.c_str());
        }
        rmdir(folder_.c_str());
    }
    const std::string& Problem() const { return problem_; }
    std::string Path(const std::string& name) const { return folder_ + "/" + name; }
    void MakeRoom() const { std::remove(Filler().c_str()); }

private:
    std::string Filler() const { return Path("filler"); }

    std::string folder_;
    std::string problem_;
    bool mounted_ = false;
};

TEST_F(ResourcesTest, FilePortWithoutRoomOrFolderAnswersEveryWriteInFullAndWritesOnceThereIsRoom) {
    const std::string missingFolder = "/tmp/kelmor-gone-" + std::to_string(getpid());
    FullFileSystem full;
    struct Case {
        const char* what;
        std::string path;
        std::function<void()> makeRoom;  // null: there never is any
    };
    std::vector<Case> cases = {
        {"/dev/full", "/dev/full", nullptr},
        {"missing folder", missingFolder + "/p3.txt", [&] { mkdir(missingFolder.c_str(), 0755); }},
    };
    if (full.Problem().empty()) {
        cases.push_back({"full file system", full.Path("p3.txt"), [&] { full.MakeRoom(); }});
    } else {
        std::printf("full file system case left out: %s\n", full.Problem().c_str());
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MapPort("P3", c.path);
        StartPortTask(kP3);
        const std::string big(20000, 'b');  // more than the stream buffer holds
        for (const std::string& data : {std::string("lost\r\n"), big, std::string()}) {
            ExpectWriteAnswered(kP3, data);
            EXPECT_EQ(Kernel().OpenFiles(), 0u) << "closed again after a failed write";
        }
        if (c.makeRoom) {
            c.makeRoom();
            ExpectWriteAnswered(kP3, "kept\r\n");
            EXPECT_EQ(ReadWholeFile(c.path), "kept\r\n");
            std::remove(c.path.c_str());
        }
        Dismount(kP3);
        EXPECT_EQ(Kernel().LivePackets(), 0u);
        EXPECT_EQ(Kernel().LiveBuffers(), 0u);
        Kernel().Reset();  // the next case starts the same task afresh
        Kernel().AttachThread(kController);
    }
    rmdir(missingFolder.c_str());
}

TEST_F(ResourcesTest, SerialLineWhosePeerWentAwayAnswersWritesAndDoesNotSpin) {
    PtyPair pty;
    if (!pty.Problem().empty()) {
        GTEST_SKIP() << pty.Problem();
    }
    setenv("KELMOR_COM2", pty.Ours().c_str(), 1);
    MapPort("P2", "COM2:");
    StartPortTask(kP2);
    ASSERT_EQ(pty.ReadPeer(1, kAnswerLimit), std::string(1, '\0'));
    Packet* read = Send(kP2, F_READ, "", 1);
    pty.Stop();  // socat ends and the line hangs up

    ExpectWriteAnswered(kP2, "anyone there?\r\n");
    const uint64_t passesBefore = Kernel().Calls(Op::ReceivePacket, kP2);
    const auto started = Clock::now();
    std::this_thread::sleep_for(500ms);
    const uint64_t passes = Kernel().Calls(Op::ReceivePacket, kP2) - passesBefore;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    EXPECT_LE(passes, static_cast<uint64_t>(elapsed / kIdleWaitMs + 3)) << "each idle pass waits the idle wait";
    EXPECT_GT(passes, 0u);
    EXPECT_EQ(Answer(0ms), nullptr) << "a dead line delivers nothing";
    ExpectWriteAnswered(kP2, "still?\r\n");
    Dismount(kP2);
    Release(read);
    unsetenv("KELMOR_COM2");
}

}  // namespace
}  // namespace kelmor::test
