#include <cstdlib>
#include <cstring>
#include <string>

#include "config/port_map.h"
#include "devices/file_device.h"
#include "devices/null_device.h"
#include "devices/serial_device.h"
#include "devices/tcp_device.h"
#include "failing_new.h"
#include "harness.h"
#include "platform/platform.h"

namespace kelmor::test {
namespace {

using runtime::Op;

class PortMapTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        // Serial rows must never reach a real line of this machine.
        for (int n = 1; n <= 4; ++n) {
            setenv(("KELMOR_COM" + std::to_string(n)).c_str(), "/nonexistent/kelmor-line", 1);
        }
    }

    // Builds the device as the given task would.
    PortDevice* CreateFor(uint8_t task) {
        Kernel().AttachThread(task);
        PortDevice* device = CreatePortDevice();
        Kernel().AttachThread(kController);
        return device;
    }
};

TEST_F(PortMapTest, KeyIsBuiltFromItsFourPieces) {
    char key[kPortMapKeySize];
    BuildPortMapKey(key);
    EXPECT_STREQ(key, "SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map");
}

std::string Expected(const std::string& path) {
    if (!platform::kFileNamesIgnoreCase) {
        return path;
    }
    std::string upper = path;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

TEST_F(PortMapTest, DeviceTextSelectsTheDeviceAndItsArgument) {
    struct Case {
        const char* text;
        DeviceKind kind;
        int comNumber;
        std::string path;
    };
    const Case cases[] = {
        {"NUL:", DeviceKind::Null, 0, ""},
        {"nul:", DeviceKind::Null, 0, ""},
        {"", DeviceKind::Null, 0, ""},
        {"COM1:", DeviceKind::Serial, 1, ""},
        {"com2:", DeviceKind::Serial, 2, ""},
        {"Com3:", DeviceKind::Serial, 3, ""},
        {"COM4:", DeviceKind::Serial, 4, ""},
        {"COM2", DeviceKind::File, 0, "COM2"},
        {"COM5:", DeviceKind::File, 0, "COM5:"},
        {" NUL:", DeviceKind::File, 0, " NUL:"},
        {"TCP", DeviceKind::File, 0, "TCP"},
        {"c:\\logs\\p3.txt", DeviceKind::File, 0, Expected("c:\\logs\\p3.txt")},
        {"Port-Three.log", DeviceKind::File, 0, Expected("Port-Three.log")},
        {"tcp:", DeviceKind::Tcp, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("device text \"") + c.text + "\"");
        MapPort("P3", c.text);
        PortDevice* device = CreateFor(190);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->waitForClient, 0);
        switch (c.kind) {
            case DeviceKind::Null:
                ASSERT_NE(dynamic_cast<NullDevice*>(device), nullptr);
                EXPECT_STREQ(device->name, "P3");
                break;
            case DeviceKind::Serial:
                ASSERT_NE(dynamic_cast<SerialDevice*>(device), nullptr);
                EXPECT_EQ(dynamic_cast<SerialDevice*>(device)->comNumber, c.comNumber);
                EXPECT_EQ(dynamic_cast<SerialDevice*>(device)->baudRate, 9600u);
                break;
            case DeviceKind::File:
                ASSERT_NE(dynamic_cast<FileDevice*>(device), nullptr);
                EXPECT_EQ(dynamic_cast<FileDevice*>(device)->path, c.path);
                break;
            case DeviceKind::Tcp:
                ASSERT_NE(dynamic_cast<TcpDevice*>(device), nullptr);
                EXPECT_STREQ(device->name, "P3");
                EXPECT_EQ(device->service, 4);
                device->Dismount();
                break;
        }
    }
}

TEST_F(PortMapTest, EveryPortTaskHasItsNameAndServiceNumber) {
    const struct {
        uint8_t task;
        const char* name;
        int32_t service;
    } table[] = {{31, "P0", 255}, {188, "P1", 2}, {189, "P2", 3},  {190, "P3", 4},  {191, "P4", 5},
                 {192, "P5", 6},  {193, "P6", 10}, {194, "P7", 11}, {195, "P8", 12}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        MapPort(row.name, "TCP:");
        PortDevice* device = CreateFor(row.task);
        ASSERT_NE(dynamic_cast<TcpDevice*>(device), nullptr);
        EXPECT_STREQ(device->name, row.name);
        EXPECT_EQ(device->service, row.service);
        device->Dismount();
    }
}

TEST_F(PortMapTest, WaitListIsACaseSensitiveSubstringTestForTcpPortsOnly) {
    struct Case {
        std::optional<std::string> wait;
        const char* text;
        int32_t waits;
    };
    const Case cases[] = {
        {"P1,P2", "tcp:", 1}, {"P1 P2", "TCP:", 1}, {"P1P2", "TCP:", 1}, {"p2", "TCP:", 0},
        {std::nullopt, "TCP:", 0}, {"P1,P3", "TCP:", 0}, {"P2", "NUL:", 0}, {"P2", "out-p2.txt", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " wait " + c.wait.value_or("(none)"));
        if (c.wait) {
            MapPort("Wait", *c.wait);
        } else {
            Kernel().Config().Remove(kPortMapKey, "Wait");
        }
        MapPort("P2", c.text);
        PortDevice* device = CreateFor(189);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->waitForClient, c.waits);
        device->Dismount();
    }
}

TEST_F(PortMapTest, UnreadableOrMissingValuesFallBackToTheNullDevice) {
    MapPort("P0", std::string(49, 'x'));
    EXPECT_NE(dynamic_cast<FileDevice*>(CreateFor(31)), nullptr) << "49 characters fit the reader";

    MapPort("P0", std::string(50, 'x'));
    EXPECT_NE(dynamic_cast<NullDevice*>(CreateFor(31)), nullptr) << "50 characters do not";

    Kernel().Config().Remove(kPortMapKey, "P0");
    PortDevice* device = CreateFor(31);
    ASSERT_NE(dynamic_cast<NullDevice*>(device), nullptr);
    EXPECT_STREQ(device->name, "P0");

    MapPort("P0", "COM1:");
    runtime::Injection failedRead{Op::ReadConfigValue};
    failedRead.task = 31;
    Kernel().Inject(failedRead);
    EXPECT_NE(dynamic_cast<NullDevice*>(CreateFor(31)), nullptr);
}

TEST_F(PortMapTest, TaskOutsideThePortTableReadsNoConfiguration) {
    MapPort("P0", "TCP:");
    PortDevice* device = CreateFor(100);
    ASSERT_NE(dynamic_cast<NullDevice*>(device), nullptr);
    EXPECT_STREQ(device->name, "");
    EXPECT_EQ(Kernel().Calls(Op::ReadConfigValue), 0u);
}

TEST_F(PortMapTest, NoMemoryForTheDeviceGivesNone) {
    MapPort("P3", "NUL:");
    FailNothrowNew(190, 1);
    EXPECT_EQ(CreateFor(190), nullptr);
    EXPECT_NE(CreateFor(190), nullptr);
}

}  // namespace
}  // namespace kelmor::test
