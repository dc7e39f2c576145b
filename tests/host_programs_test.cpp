// kelmor-host's own programs, run as a user runs them.
#include <sys/wait.h>

#include <fstream>

#include "child_process.h"
#include "harness.h"
#include "private_network.h"

namespace kelmor::test {
namespace {

std::string WriteTempFile(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

struct HostRun {
    int exitCode;
    std::string out;
    std::string err;
};

HostRun RunHost(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {KELMOR_HOST_PATH, "--library", KELMOR_LIBRARY_PATH});
    ChildProcess host(arguments);
    const auto status = host.Wait(20s);
    EXPECT_TRUE(status) << "kelmor-host did not end";
    return {status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, host.Stdout(), host.Stderr()};
}

TEST(HostScriptTest, WritesToAFilePortAndReportsEachStepAsJson) {
    const std::string file = ::testing::TempDir() + "script-p3.txt";
    const std::string script = WriteTempFile("file.kel",
                                             "# a file port\n"
                                             "write P3 \"one\\r\\n\"\n"
                                             "write 190 two\n"
                                             "file-expect " + file + " \"one\\r\\ntwo\"\n"
                                             "request P3 25\n");
    const HostRun run = RunHost({"--map", "P3=" + file, "--script", script});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(R"({"line":2,"command":"write","port":"P3","status":0,"actual":5,"ok":true})"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(R"({"line":5,"command":"request","port":"P3","status":0,"actual":0,"ok":true})"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(R"({"event":"script-end","ok":true})"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(file), "one\r\ntwo");
}

TEST(HostScriptTest, AFailedExpectationNamesItsLineAndExitsOne) {
    const std::string script = WriteTempFile("fails.kel", "write P1 x\nread P1 1 100\nwrite P1 never\n");
    const HostRun run = RunHost({"--script", script});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find(script + ":2: only 0 of 1 bytes came"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("\"line\":3"), std::string::npos) << "the script stops at the failure";
}

TEST(HostScriptTest, MistakesInTheScriptStopTheHostBeforeItStarts) {
    const std::string script = WriteTempFile("bad.kel", "write P1 ok\nfly P1\n");
    const HostRun run = RunHost({"--script", script});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(script + ":2: unknown command fly"), std::string::npos) << run.err;
}

TEST(HostCheckTest, WarnsAboutTheMistakesTheSelectionRulesLetPass) {
    const struct {
        std::vector<std::string> arguments;
        const char* expected;  // "" when no warning is expected
    } cases[] = {
        {{"--map", "P4=COM2"}, "warning: P4: \"COM2\" has no colon"},
        {{"--map", "P4=COM5:"}, "warning: P4: \"COM5:\" is not one of COM1: to COM4:"},
        {{"--map", "P4= NUL:"}, "warning: P4: the blanks around \" NUL:\" make it a file name"},
        {{"--map", "P4=" + std::string(50, 'x')}, "warning: P4: the value is 50 characters"},
        {{"--map", "P1=TCP:", "--wait", "p1"}, "warning: Wait: \"p1\" is in lower case"},
        {{"--map", "P2=NUL:", "--wait", "P2"}, "warning: Wait: P2 is not on \"TCP:\""},
        {{"--map", "P3=/nonexistent-kelmor/p3.txt"}, "does not exist, so its writes are lost"},
        {{"--map", "P1=tcp:", "--wait", "P1", "--map", "P2=com2:", "--map", "P3=log.txt"}, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.push_back("--check");
        SCOPED_TRACE(arguments[1]);
        const HostRun run = RunHost(arguments);
        if (*c.expected == '\0') {
            EXPECT_EQ(run.exitCode, 0) << run.out;
            EXPECT_EQ(run.out.find("warning"), std::string::npos) << run.out;
        } else {
            EXPECT_EQ(run.exitCode, 1) << run.out;
            EXPECT_NE(run.out.find(c.expected), std::string::npos) << run.out;
        }
    }
}

TEST(HostCheckTest, ShowsWhatEachPortGets) {
    const std::string reg = WriteTempFile("check.reg",
                                          "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane "
                                          "V6.20\\Port Map]\r\n\"P1\"=\"TCP:\"\r\n\"P4\"=\"COM2\"\r\n\"Wait\"=\"P1\"\r\n");
    const HostRun run = RunHost({"--registry", reg, "--com", "2=/dev/kelmor-line", "--map", "P2=COM2:", "--check"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("188   P1   2       \"TCP:\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("TCP terminal, waits for a first client"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("serial line COM2: on /dev/kelmor-line"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("31    P0   255     (none)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("file \"COM2\""), std::string::npos) << run.out;
}

TEST(HostAttachTest, InputLinesBecomeWritesAndTheEndOfInputStopsTheHost) {
    const std::string file = ::testing::TempDir() + "attach-p3.txt";
    const std::string input = WriteTempFile("attach.in", "first line\nsecond\n");
    ChildProcess host({"/bin/sh", "-c",
                       std::string(KELMOR_HOST_PATH) + " --map P3=" + file + " --attach P3 < " + input});
    const auto status = host.Wait(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << host.Stderr();
    EXPECT_EQ(ReadWholeFile(file), "first line\nsecond\n");
}

// A user's session on the console over TCP, with the script as the user.
constexpr const char* kConsoleSession =
    "client open user 9100\n"
    "client expect user \"login: \"\n"
    "client send user \"robot\\r\"\n"
    "client expect user \"password: \"\n"
    "client send user \"secret\\r\\n\"\n"
    "client expect user \"Type help for the commands.\\r\\n> \"\n"
    "client send user \"echx\\x7fo ABC\\r\"\n"
    "client expect user \"echx\\x08 \\x08o ABC\\r\\nABC\\r\\n> \"\n";

TEST(HostConsoleTest, ScriptWritesAFilePortAndTheConsoleAnswersOverTcp) {
    if (!PrivateNetworkUnavailable().empty()) {
        GTEST_SKIP() << PrivateNetworkUnavailable();
    }
    const std::string file = ::testing::TempDir() + "console-p3.txt";
    const std::string script = WriteTempFile("console.kel", std::string(kConsoleSession) +
                                                                "write P3 \"from the script;\"\n"
                                                                "client send user \"send P3 from the console\\r\"\n"
                                                                "client expect user \"sent 17 bytes to P3\"\n"
                                                                "file-expect " + file +
                                                                " \"from the script;from the console\\n\"\n"
                                                                "client send user \"ports\\r\"\n"
                                                                "client expect user \" 190 P3   file\"\n");
    const HostRun run = RunHost({"--map", "P1=TCP:", "--console", "P1", "--map", "P3=" + file, "--script", script});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[KELMOR] Ready for connections at 9100\n"), std::string::npos) << run.out;
}

TEST(HostConsoleTest, DemoGreetsAClientThatLogsIn) {
    if (!PrivateNetworkUnavailable().empty()) {
        GTEST_SKIP() << PrivateNetworkUnavailable();
    }
    const std::string script = WriteTempFile("demo.kel", kConsoleSession);
    const HostRun run = RunHost({"--demo", "--script", script});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("telnet localhost 9100 (any login and password)"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("\"Console/SMON\" on TCP port 9100"), std::string::npos) << run.err;
}

TEST(HostLogTest, JsonLogCarriesEveryKindOfKernelEvent) {
    if (!PrivateNetworkUnavailable().empty()) {
        GTEST_SKIP() << PrivateNetworkUnavailable();
    }
    const std::string script = WriteTempFile("log.kel", std::string(kConsoleSession) +
                                                            "connect P1\n"
                                                            "write P1 copied\n"
                                                            "disconnect P1\n");
    const HostRun run = RunHost(
        {"--log-json", "--map", "P1=TCP:", "--console", "P1", "--function", "P1=8", "--tasks", "188", "--script", script});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    for (const char* expected : {
             R"({"event":"console","task":188,"text":"[KELMOR] Ready for connections at 9100\n"})",
             R"({"event":"announce","task":188,"text":"service 2 \"Host Com\" on TCP port 9100"})",
             R"({"event":"packet","to":68,"from":188,"request":25,"status":0,"param1":1,"actual":23,"param2":2147483647,"param3":0})",
             R"({"event":"packet","to":75,"from":188,"request":7,"length":6,"data":"copied"})",
             R"({"event":"debug","text":"[Kelmor] F_CONNECT request from TELNET\n"})",
             R"({"event":"debug","text":"Kelmor receive F_DISMOUNT\n"})",
         }) {
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
    }
}

}  // namespace
}  // namespace kelmor::test
