#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "child_process.h"
#include "config/port_map.h"
#include "devices/file_device.h"
#include "harness.h"

namespace kelmor::test {
namespace {

using runtime::Injection;
using runtime::Op;

constexpr uint8_t kP3Task = 190;

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

class FileDeviceTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        path_ = Unique("port.Log");
    }
    void TearDown() override {
        KernelTest::TearDown();
        for (const std::string& path : made_) {
            std::remove(path.c_str());
        }
    }

    // A path in the temporary folder that no other test process uses.
    std::string Unique(const std::string& name) {
        made_.push_back(::testing::TempDir() + "kf" + std::to_string(getpid()) + "-" + name);
        return made_.back();
    }

    // One write request as the service loop brackets it.
    static void WriteRequest(FileDevice& device, const std::string& data) {
        device.Open();
        device.Write(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint16_t>(data.size()));
        device.Close();
    }

    std::string path_;
    std::vector<std::string> made_;
};

TEST_F(FileDeviceTest, StartLeavesTheFileThereEmptyAndClosed) {
    for (const char* before : {static_cast<const char*>("old contents"), static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(before != nullptr ? "file with contents" : "no file");
        if (before != nullptr) {
            WriteFile(path_, before);
        } else {
            unlink(path_.c_str());
        }
        FileDevice device;
        device.Start(path_.c_str());
        EXPECT_TRUE(Exists(path_));
        EXPECT_EQ(ReadWholeFile(path_), "");
        EXPECT_EQ(device.file, 0u);
        EXPECT_EQ(Kernel().OpenFiles(), 0u);
    }
}

TEST_F(FileDeviceTest, WriteRequestsAppendInOrderAndAnEmptyOneAddsNothing) {
    FileDevice device;
    device.Start(path_.c_str());
    WriteRequest(device, "ab");
    WriteRequest(device, "cd");
    EXPECT_EQ(ReadWholeFile(path_), "abcd");

    const uint64_t opens = Kernel().Calls(Op::FileOpen);
    const uint64_t closes = Kernel().Calls(Op::FileClose);
    WriteRequest(device, "");
    EXPECT_EQ(Kernel().Calls(Op::FileOpen), opens + 1);
    EXPECT_EQ(Kernel().Calls(Op::FileClose), closes + 1);
    EXPECT_EQ(ReadWholeFile(path_), "abcd");
    EXPECT_EQ(Kernel().OpenFiles(), 0u);
}

TEST_F(FileDeviceTest, ReadDeliversNothingAndLeavesTheBuffer) {
    FileDevice device;
    device.Start(path_.c_str());
    WriteRequest(device, "x");
    uint8_t buffer = 0x5A;
    uint16_t count = 9;
    device.Open();
    device.Read(&buffer, &count);
    device.Close();
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buffer, 0x5A);
    EXPECT_EQ(ReadWholeFile(path_), "x");
}

TEST_F(FileDeviceTest, PathIsCutToFiftyCharacters) {
    const std::string folder = ::testing::TempDir();
    if (folder.size() > 30) {
        GTEST_SKIP() << "temporary folder " << folder << " leaves no room for a 50-character name";
    }
    for (size_t length : {50u, 60u}) {
        SCOPED_TRACE(length);
        std::string text = Unique("");
        text.resize(length, 'n');
        const std::string kept = text.substr(0, FileDevice::kPathLimit);
        made_.push_back(kept);
        FileDevice device;
        device.Start(text.c_str());
        EXPECT_EQ(device.path, kept);
        WriteRequest(device, "z");
        EXPECT_EQ(ReadWholeFile(kept), "z");
        if (text != kept) {
            EXPECT_FALSE(Exists(text));
        }
    }
}

TEST_F(FileDeviceTest, OpenTwiceOpensOnceAndCloseClosesIt) {
    FileDevice device;
    device.Start(path_.c_str());
    const uint64_t opens = Kernel().Calls(Op::FileOpen);
    device.Open();
    device.Open();
    EXPECT_EQ(Kernel().Calls(Op::FileOpen), opens + 1);
    EXPECT_EQ(Kernel().OpenFiles(), 1u);
    device.Close();
    EXPECT_EQ(device.file, 0u);
    EXPECT_EQ(Kernel().OpenFiles(), 0u);
}

TEST_F(FileDeviceTest, DismountClosesAnOpenFileAndOtherwiseDoesNothing) {
    FileDevice device;
    device.Start(path_.c_str());
    const uint64_t closes = Kernel().Calls(Op::FileClose);
    device.Dismount();
    EXPECT_EQ(Kernel().Calls(Op::FileClose), closes);

    device.Open();
    device.Dismount();
    EXPECT_EQ(device.file, 0u);
    EXPECT_EQ(Kernel().Calls(Op::FileClose), closes + 1);
    EXPECT_EQ(Kernel().OpenFiles(), 0u);
}

TEST_F(FileDeviceTest, FileThatCannotBeOpenedLosesThatWriteAndEveryOpenTriesAgain) {
    const std::string folder = Unique("later");
    const std::string path = folder + "/p.txt";
    made_.insert(made_.begin(), path);  // removed before its folder
    FileDevice device;
    device.Start(path.c_str());
    EXPECT_FALSE(Exists(path));
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);

    Kernel().Inject(Injection{Op::FileOpen});
    WriteRequest(device, "lost");
    EXPECT_EQ(device.file, 0u);
    WriteRequest(device, "kept");
    EXPECT_EQ(ReadWholeFile(path), "kept");
}

TEST_F(FileDeviceTest, PortTaskAppendsEveryWriteToTheFileNamedWithItsCase) {
    const std::string path = Unique("Mixed.Log");
    if (path.size() >= kConfigTextSize) {
        GTEST_SKIP() << path << " is longer than a device text can be";
    }
    WriteFile(path, "old");
    MapPort("P3", path);
    StartPortTask(kP3Task);
    for (const char* data : {"ab", "cd", ""}) {
        Packet* sent = Send(kP3Task, F_WRITE, data);
        Packet* answer = Answer();
        ASSERT_EQ(answer, sent);
        EXPECT_EQ(answer->actual, std::strlen(data));
        Release(answer);
        EXPECT_EQ(Kernel().OpenFiles(), 0u) << "closed between requests";
    }
    EXPECT_EQ(ReadWholeFile(path), "abcd");
    Dismount(kP3Task);
    EXPECT_EQ(Kernel().OpenFiles(), 0u);
}

}  // namespace
}  // namespace kelmor::test
