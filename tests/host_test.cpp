#include <sys/wait.h>

#include <csignal>
#include <fstream>

#include "child_process.h"
#include "harness.h"

namespace kelmor::test {
namespace {

std::string WriteRegFile(const std::string& name, const std::string& values) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream file(path, std::ios::binary);
    file << "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map]\r\n"
         << values;
    return path;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST(HostTest, StopSignalDismountsEveryPortTaskAndExitsCleanly) {
    const std::string reg = WriteRegFile("host-nul.reg", "\"P0\"=\"NUL:\"\r\n\"P4\"=\"nul:\"\r\n");
    for (int signo : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signo));
        ChildProcess host({KELMOR_HOST_PATH, "--registry", reg, "--library", KELMOR_LIBRARY_PATH});
        ASSERT_TRUE(host.WaitForOutput("[host] 9 port tasks running", 10s, true)) << host.Stderr();
        host.Signal(signo);
        const auto status = host.Wait(5s);
        ASSERT_TRUE(status) << "host did not stop";
        ASSERT_TRUE(WIFEXITED(*status)) << host.Stderr();
        EXPECT_EQ(WEXITSTATUS(*status), 0) << host.Stderr();
        EXPECT_EQ(Occurrences(host.Stderr(), "Kelmor receive F_DISMOUNT\n"), 9u) << host.Stderr();
    }
}

TEST(HostTest, MalformedRegistryFileIsAStartUpErrorNamingTheLine) {
    const std::string reg = WriteRegFile("host-bad.reg", "\"P1\"=\"TCP:\r\n");
    ChildProcess host({KELMOR_HOST_PATH, "--registry", reg});
    const auto status = host.Wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    EXPECT_NE(host.Stderr().find(reg + ":4: unterminated"), std::string::npos) << host.Stderr();
    EXPECT_EQ(host.Stderr().find("port tasks running"), std::string::npos);
}

TEST(HostTest, DurationEndsTheRunByItself) {
    ChildProcess host({KELMOR_HOST_PATH, "--duration", "0.2", "--tasks", "188-189"});
    const auto status = host.Wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << host.Stderr();
    EXPECT_EQ(Occurrences(host.Stderr(), "Kelmor receive F_DISMOUNT\n"), 2u);
}

}  // namespace
}  // namespace kelmor::test
