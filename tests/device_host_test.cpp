// The serial and file devices behind the real kelmor-host.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "child_process.h"
#include "devices/serial_device.h"
#include "harness.h"
#include "pty_pair.h"

namespace kelmor::test {
namespace {

using namespace std::string_literals;

// Runs the host until it ends by itself and expects a clean stop.
void RunHostBriefly(std::vector<std::string> options) {
    std::vector<std::string> arguments{KELMOR_HOST_PATH, "--library", KELMOR_LIBRARY_PATH, "--duration", "0.3"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    ChildProcess host(arguments);
    const auto status = host.Wait(10s);
    ASSERT_TRUE(status) << "host did not stop";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host.Stderr();
    EXPECT_NE(host.Stderr().find("Kelmor receive F_DISMOUNT"), std::string::npos) << host.Stderr();
}

TEST(DeviceHostTest, FilePortFromARegistryFileIsEmptiedAtStart) {
    const std::string base = ::testing::TempDir() + "kh" + std::to_string(getpid());
    const std::string file = base + "-P3.Txt";  // the case must survive
    std::ofstream(file, std::ios::binary) << "left from last run";
    const std::string reg = base + ".reg";
    std::ofstream(reg, std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map]\r\n"
           "\"P3\"=\"" << file << "\"\r\n";
    RunHostBriefly({"--registry", reg, "--tasks", "190"});
    EXPECT_EQ(ReadWholeFile(file), "");
    EXPECT_EQ(access(file.c_str(), F_OK), 0);
    unlink(file.c_str());
    unlink(reg.c_str());
}

TEST(DeviceHostTest, SerialPortOnAPtyGreetsThePeerWithOneNul) {
    PtyPair pty;
    if (!pty.Problem().empty()) {
        GTEST_SKIP() << pty.Problem();
    }
    RunHostBriefly({"--map", "P2=COM2:", "--com", "2=" + pty.Ours(), "--tasks", "189"});
    EXPECT_EQ(pty.ReadPeer(2, 1s), "\0"s);
}

TEST(DeviceHostTest, LineHeldByThisProcessCannotBeTakenByTheHost) {
    PtyPair pty;
    if (!pty.Problem().empty()) {
        GTEST_SKIP() << pty.Problem();
    }
    setenv("KELMOR_COM2", pty.Ours().c_str(), 1);
    SerialDevice holder;
    holder.Start(2);
    unsetenv("KELMOR_COM2");
    ASSERT_NE(holder.handle, platform::kInvalidCommHandle);
    ASSERT_EQ(pty.ReadPeer(1, kAnswerLimit), "\0"s);

    RunHostBriefly({"--map", "P2=COM2:", "--com", "2=" + pty.Ours(), "--tasks", "189"});
    // A NUL from the host would arrive before this byte.
    holder.Write(reinterpret_cast<const uint8_t*>("k"), 1);
    EXPECT_EQ(pty.ReadPeer(1, kAnswerLimit), "k");
    holder.Dismount();
}

}  // namespace
}  // namespace kelmor::test
