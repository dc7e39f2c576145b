// The port map from the machine's registry: a .reg file imported with
// reg.exe, read by port tasks whose runtime was given no configuration of
// its own, and by kelmor-host.exe run without --registry or --map. The
// host's debugger output capture is checked on the way.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fstream>
#include <string>

#include "child_process.h"
#include "harness.h"
#include "windows_process.h"

namespace kelmor::test {
namespace {

constexpr uint8_t kTask = 192;  // "P5"
constexpr const char* kZorvaKey = "HKLM\\SOFTWARE\\Zorva";

std::string ProgramFolder() {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string path(self, length);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

std::string UniqueName(const std::string& stem) { return stem + "-" + std::to_string(GetCurrentProcessId()); }

// Text as a .reg file spells it: backslashes doubled.
std::string RegText(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '\\') {
            escaped += '\\';
        }
    }
    return escaped;
}

class RegistryTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        RunProgram(std::string("reg.exe delete ") + kZorvaKey + " /f", 10s);
        file_ = ::testing::TempDir() + UniqueName("kelmor-registry-p5") + ".log";
        const std::string reg = ::testing::TempDir() + UniqueName("kelmor-ports") + ".reg";
        {
            std::ofstream out(reg, std::ios::binary);
            out << "Windows Registry Editor Version 5.00\r\n\r\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map]\r\n"
                   "\"P5\"=\"" << RegText(file_) << "\"\r\n"
                   "\"P1\"=\"nul:\"\r\n";
        }
        std::string output;
        const auto code = RunProgram("reg.exe import \"" + reg + "\"", 10s, &output);
        ASSERT_TRUE(code) << "reg.exe import did not end";
        ASSERT_EQ(*code, 0u) << output;
        DeleteFileA(reg.c_str());
        DeleteFileA(file_.c_str());
    }

    void TearDown() override {
        KernelTest::TearDown();
        RunProgram(std::string("reg.exe delete ") + kZorvaKey + " /f", 10s);
        DeleteFileA(file_.c_str());
    }

    std::string file_;
};

TEST_F(RegistryTest, PortTasksReadTheirDeviceTextFromTheRegistry) {
    StartPortTask(kTask);
    Packet* write = Send(kTask, F_WRITE, "from the registry");
    ASSERT_EQ(Answer(), write);
    Release(write);
    Dismount(kTask);
    EXPECT_EQ(ReadWholeFile(file_), "from the registry");
}

TEST_F(RegistryTest, AConfigurationOfTheHostsOwnTakesThePlaceOfTheRegistry) {
    MapPort("P1", "NUL:");  // anything at all: the registry is no longer read
    StartPortTask(kTask);
    Dismount(kTask);
    EXPECT_EQ(GetFileAttributesA(file_.c_str()), INVALID_FILE_ATTRIBUTES) << "P5 got the null device";
}

TEST_F(RegistryTest, HostChecksAndServesThePortMapFromTheRegistry) {
    const std::string host = "\"" + ProgramFolder() + "kelmor-host.exe\"";
    std::string check;
    const auto checked = RunProgram(host + " --check --tasks 192", 20s, &check);
    ASSERT_TRUE(checked);
    EXPECT_NE(check.find(file_), std::string::npos) << check;

    std::string served;
    const auto code = RunProgram(host + " --duration 0.5 --tasks 188,192", 20s, &served);
    ASSERT_TRUE(code) << "kelmor-host.exe did not stop";
    EXPECT_EQ(*code, 0u) << served;
    // The host shows the library's debugger output (its line ends in the
    // console's text mode).
    size_t dismounts = 0;
    for (auto at = served.find("Kelmor receive F_DISMOUNT\r\n"); at != std::string::npos;
         at = served.find("Kelmor receive F_DISMOUNT\r\n", at + 1)) {
        ++dismounts;
    }
    EXPECT_EQ(dismounts, 2u) << served;
    EXPECT_NE(GetFileAttributesA(file_.c_str()), INVALID_FILE_ATTRIBUTES) << "P5's file was not made";
}

}  // namespace
}  // namespace kelmor::test
