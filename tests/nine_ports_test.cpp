// All nine port tasks at once, as the controller runs them.
#include <map>

#include "child_process.h"
#include "harness.h"

namespace kelmor::test {
namespace {

constexpr uint8_t kPortTasks[] = {31, 188, 189, 190, 191, 192, 193, 194, 195};
constexpr int kWritesPerPort = 25;

class NinePortsTest : public KernelTest {};

TEST_F(NinePortsTest, EveryPortServesItsOwnRequestsConcurrently) {
    const std::string file = ::testing::TempDir() + "nine-ports-p5.txt";
    MapPort("P1", "NUL:");
    MapPort("P5", file);
    for (uint8_t task : kPortTasks) {
        StartPortTask(task);
    }
    // Interleaved across the ports, in order within each.
    std::map<Packet*, std::string> expected;
    for (int i = 0; i < kWritesPerPort; ++i) {
        for (uint8_t task : kPortTasks) {
            const std::string data = std::to_string(task) + ":" + std::to_string(i) + ";";
            expected[Send(task, F_WRITE, data)] = data;
        }
    }
    Packet* pendingRead = Send(195, F_READ, "", 1);
    for (size_t answered = 0; answered < expected.size(); ++answered) {
        Packet* answer = Answer();
        ASSERT_NE(answer, nullptr) << "after " << answered << " answers";
        ASSERT_EQ(expected.count(answer), 1u);
        EXPECT_EQ(answer->status, 0);
        EXPECT_EQ(answer->actual, expected[answer].size());
        Release(answer);
    }
    for (uint8_t task : kPortTasks) {
        Dismount(task);
    }
    EXPECT_EQ(Answer(0ms), nullptr) << "a read on a null port is never answered";
    std::string fileExpected;
    for (int i = 0; i < kWritesPerPort; ++i) {
        fileExpected += "192:" + std::to_string(i) + ";";
    }
    EXPECT_EQ(ReadWholeFile(file), fileExpected);
    EXPECT_TRUE(Kernel().Asserts().empty());
    EXPECT_EQ(Kernel().LivePackets(), 1u) << "only the unanswered read is left";
    (void)pendingRead;
}

}  // namespace
}  // namespace kelmor::test
