#include <fstream>

#include "config_store.h"
#include "harness.h"

namespace kelmor::test {
namespace {

using runtime::ConfigStore;

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map";

std::string Text(const ConfigStore& store, const std::string& name) {
    auto value = store.Get(kKey, name);
    return value && value->isText ? value->text : "(none)";
}

TEST(ConfigStoreTest, ReadsTextValuesWithEscapesCommentsAndEitherHeader) {
    for (const char* header : {"Windows Registry Editor Version 5.00", "REGEDIT4"}) {
        ConfigStore store;
        std::string error;
        const std::string text = std::string(header) +
                                 "\r\n\r\n; the port map\r\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map]\r\n"
                                 "\"P1\"=\"TCP:\"\r\n"
                                 "\"p3\"=\"C:\\\\logs\\\\p3.txt\"\r\n"
                                 "\"P4\"=\"say \\\"hi\\\"\"\r\n"
                                 "\"P5\"=dword:00000001\r\n"
                                 "\"P6\"=hex:01,02,\\\r\n  03,04\r\n"
                                 "\"Wait\"=\"P1\"\r\n";
        ASSERT_TRUE(store.LoadRegText(text, "ports.reg", error)) << error;
        EXPECT_EQ(Text(store, "P1"), "TCP:");
        EXPECT_EQ(Text(store, "P3"), "C:\\logs\\p3.txt") << "names ignore case";
        EXPECT_EQ(Text(store, "P4"), "say \"hi\"");
        EXPECT_EQ(Text(store, "P5"), "(none)") << "not a text";
        EXPECT_EQ(Text(store, "P6"), "(none)");
        EXPECT_EQ(Text(store, "wait"), "P1");
        EXPECT_EQ(Text(store, "P2"), "(none)");
    }
}

TEST(ConfigStoreTest, MalformedFilesNameTheLineAndChangeNothing) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "f.reg:1: empty registry file"},
        {"REGEDIT5\n", "f.reg:1: not a registry file"},
        {"REGEDIT4\n\"P1\"=\"x\"\n", "f.reg:2: value outside of a key"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\n", "f.reg:2: key line must end"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"P1\"=\"open\n", "f.reg:3: unterminated"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\nP1=\"x\"\n", "f.reg:3: value name must be quoted"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"P1\"=qword:1\n", "f.reg:3: unknown value type"},
        {"REGEDIT4\n[SOFTWARE\\X]\n", "f.reg:2: key must start with a root"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ConfigStore store;
        store.SetText("HKEY_LOCAL_MACHINE\\X", "P1", "kept");
        std::string error;
        EXPECT_FALSE(store.LoadRegText(c.text, "f.reg", error));
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(store.Get("HKEY_LOCAL_MACHINE\\X", "P1")->text, "kept");
    }
}

TEST(ConfigStoreTest, DeletionsRemoveValuesAndKeys) {
    ConfigStore store;
    std::string error;
    ASSERT_TRUE(store.LoadRegText(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n[HKEY_LOCAL_MACHINE\\B]\n\"z\"=\"3\"\n",
        "f.reg", error));
    ASSERT_TRUE(store.LoadRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=-\n[-HKEY_LOCAL_MACHINE\\B]\n", "f.reg",
                                  error))
        << error;
    EXPECT_FALSE(store.Get("HKEY_LOCAL_MACHINE\\A", "x"));
    EXPECT_TRUE(store.Get("HKEY_LOCAL_MACHINE\\A", "y"));
    EXPECT_FALSE(store.Get("HKEY_LOCAL_MACHINE\\B", "z"));
}

TEST(ConfigStoreTest, ReadsUtf16FilesAsRegeditSavesThem) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map]\r\n"
        u"\"P2\"=\"D:\\\\Zelle \u00e9t\u00e9.txt\"\r\n";
    const std::string path = ::testing::TempDir() + "utf16.reg";
    {
        std::ofstream file(path, std::ios::binary);
        file.write("\xFF\xFE", 2);
        for (char16_t unit : text) {
            const char bytes[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
            file.write(bytes, 2);
        }
    }
    ConfigStore store;
    std::string error;
    ASSERT_TRUE(store.LoadRegFile(path, error)) << error;
    EXPECT_EQ(Text(store, "P2"), "D:\\Zelle \xC3\xA9t\xC3\xA9.txt");
}

}  // namespace
}  // namespace kelmor::test
