#include <array>
#include <cstring>

#include "harness.h"
#include "task/identify.h"
#include "task/port_task.h"

namespace kelmor::test {
namespace {

class IdentifyTest : public KernelTest {};

TEST_F(IdentifyTest, FillsTheDescriptorAndTouchesNothingElse) {
    constexpr uint8_t kUntouched = 0xA5;
    alignas(8) std::array<uint8_t, 64> descriptorBytes;
    alignas(8) std::array<uint8_t, sizeof(IdentifyRecord)> recordBytes;
    descriptorBytes.fill(kUntouched);
    recordBytes.fill(kUntouched);
    auto* record = reinterpret_cast<IdentifyRecord*>(recordBytes.data());
    auto* descriptor = reinterpret_cast<TaskDescriptor*>(descriptorBytes.data());
    record->descriptor = descriptor;

    ASSERT_EQ(IdentifyMyself(record), 1);

    EXPECT_EQ(recordBytes[0], 1);
    for (size_t i = 1; i < offsetof(IdentifyRecord, descriptor); ++i) {
        EXPECT_EQ(recordBytes[i], kUntouched) << "identify record byte " << i;
    }
    EXPECT_EQ(record->descriptor, descriptor);

    TaskEntry entry = nullptr;
    std::memcpy(&entry, descriptorBytes.data(), sizeof entry);
    EXPECT_EQ(entry, &PortTaskEntry);
    EXPECT_EQ(descriptorBytes[16], 0x44);
    EXPECT_EQ(descriptorBytes[17], 0x43);
    EXPECT_EQ(descriptorBytes[18], 0x43);
    EXPECT_EQ(descriptorBytes[19], 0x53);
    EXPECT_EQ(descriptorBytes[43], 10);
    for (size_t i = sizeof entry; i < descriptorBytes.size(); ++i) {
        if ((i < 16 || i > 19) && i != 43) {
            EXPECT_EQ(descriptorBytes[i], kUntouched) << "descriptor byte " << i;
        }
    }
}

TEST_F(IdentifyTest, NullRecordIsReportedAndALaterCallStillWorks) {
    EXPECT_EQ(IdentifyMyself(nullptr), 0);
    const auto asserts = Kernel().Asserts();
    ASSERT_EQ(asserts.size(), 1u);
    EXPECT_EQ(asserts[0].text, "assert(pIdentify)");
    EXPECT_EQ(asserts[0].value, 0);
    EXPECT_NE(asserts[0].file.find("identify"), std::string::npos);
    EXPECT_GT(asserts[0].line, 0);

    TaskDescriptor descriptor{};
    IdentifyRecord record{};
    record.descriptor = &descriptor;
    EXPECT_EQ(IdentifyMyself(&record), 1);
    EXPECT_EQ(descriptor.tag, kDescriptorTag);
}

}  // namespace
}  // namespace kelmor::test
