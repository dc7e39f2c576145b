// For test programs whose main is netns_main.cpp: the tests run in a network
// namespace of their own, or are skipped with the reason when there is none.
#pragma once

#include <string>

#include "harness.h"

namespace kelmor::test {

// Why the program could not get its own network namespace; empty when it has one.
const std::string& PrivateNetworkUnavailable();

class PrivateNetworkTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        if (!PrivateNetworkUnavailable().empty()) {
            GTEST_SKIP() << PrivateNetworkUnavailable();
        }
    }
};

}  // namespace kelmor::test
