// A port mapped to a Windows path: the port map hands the file device the
// path upper-cased, which names the same file on a file system that ignores
// case; the file is emptied at start and every write request is appended.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>

#include "child_process.h"
#include "harness.h"

namespace kelmor::test {
namespace {

constexpr uint8_t kTask = 190;  // "P3"

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The name the file system keeps for the file, as it was created.
std::string StoredName(const std::string& path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return "";
    }
    FindClose(search);
    return found.cFileName;
}

class FileDeviceTest : public KernelTest {};

TEST_F(FileDeviceTest, LowerCaseWindowsPathIsUsedUpperCasedAndCollectsEveryWrite) {
    const std::string folder = ::testing::TempDir();
    ASSERT_TRUE(folder.size() > 2 && folder[1] == ':') << "not a Windows path: " << folder;
    const std::string path = Lower(folder) + "kelmor-p3-" + std::to_string(GetCurrentProcessId()) + ".log";
    DeleteFileA(path.c_str());  // so the device creates it, under its own spelling

    MapPort("P3", path);
    StartPortTask(kTask);
    for (const char* data : {"ab", "", "cd"}) {
        Packet* write = Send(kTask, F_WRITE, data);
        Packet* answer = Answer();
        ASSERT_EQ(answer, write);
        EXPECT_EQ(answer->actual, std::string(data).size());
        Release(answer);
    }
    Dismount(kTask);

    EXPECT_EQ(ReadWholeFile(path), "abcd");
    std::string upperName = path.substr(folder.size());
    std::transform(upperName.begin(), upperName.end(), upperName.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    EXPECT_EQ(StoredName(path), upperName) << "the file was opened under the upper-cased path";
    EXPECT_EQ(Kernel().OpenFiles(), 0u);
    DeleteFileA(path.c_str());
}

TEST_F(FileDeviceTest, AnExistingFileIsEmptiedAtStart) {
    const std::string path = ::testing::TempDir() + "KELMOR-P3-OLD-" + std::to_string(GetCurrentProcessId()) + ".LOG";
    {
        std::ofstream old(path, std::ios::binary);
        old << "left from before";
    }
    MapPort("P3", path);
    StartPortTask(kTask);
    Dismount(kTask);
    EXPECT_EQ(ReadWholeFile(path), "");
    DeleteFileA(path.c_str());
}

}  // namespace
}  // namespace kelmor::test
