// kelmor.dll as the controller host sees it: one export, IdentifyMyself,
// undecorated, and a task entry inside the library itself.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "task/identify.h"

namespace kelmor::test {
namespace {

std::string ProgramFolder() {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string path(self, length);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

std::vector<std::string> ExportNames(HMODULE module) {
    const auto* base = reinterpret_cast<const uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::vector<std::string> names;
    if (directory.Size == 0) {
        return names;
    }
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames) << "an export without a name";
    const auto* nameOffsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        names.emplace_back(reinterpret_cast<const char*>(base + nameOffsets[i]));
    }
    return names;
}

class ExportTest : public KernelTest {};

TEST_F(ExportTest, TheLibrarysOnlyExportIsIdentifyMyselfAndItHandsOverItsOwnEntry) {
    HMODULE library = LoadLibraryA((ProgramFolder() + "kelmor.dll").c_str());
    ASSERT_NE(library, nullptr) << "error " << GetLastError();
    EXPECT_EQ(ExportNames(library), std::vector<std::string>{"IdentifyMyself"});

    using Identify = int32_t (*)(IdentifyRecord*);
    auto identify = reinterpret_cast<Identify>(reinterpret_cast<void*>(GetProcAddress(library, "IdentifyMyself")));
    ASSERT_NE(identify, nullptr);
    alignas(4) uint8_t descriptor[48];
    std::memset(descriptor, 0xA5, sizeof descriptor);
    alignas(4) uint8_t record[8];
    std::memset(record, 0xA5, sizeof record);
    const uint32_t descriptorAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(descriptor));
    std::memcpy(record + 4, &descriptorAddress, 4);

    ASSERT_EQ(identify(reinterpret_cast<IdentifyRecord*>(record)), 1);
    EXPECT_EQ(record[0], 1);
    EXPECT_EQ(record[1], 0xA5);
    uint32_t entry = 0;
    std::memcpy(&entry, descriptor, 4);
    HMODULE owner = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<const char*>(static_cast<uintptr_t>(entry)), &owner));
    EXPECT_EQ(owner, library) << "the task entry lies in kelmor.dll";
    EXPECT_EQ(std::memcmp(descriptor + 16, "DCCS", 4), 0);
    EXPECT_EQ(descriptor[43], 10);
    EXPECT_EQ(descriptor[4], 0xA5);
    EXPECT_EQ(descriptor[42], 0xA5);
    EXPECT_EQ(descriptor[44], 0xA5);
    FreeLibrary(library);
}

}  // namespace
}  // namespace kelmor::test
