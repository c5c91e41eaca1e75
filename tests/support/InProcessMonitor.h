// A monitor inside the test process: fast to start, and able to publish any
// bytes at any offset. Removes leftovers of earlier runs first.
#ifndef VANTORIX_TESTS_INPROCESSMONITOR_H
#define VANTORIX_TESTS_INPROCESSMONITOR_H

#include <gtest/gtest.h>

#include <cstring>

#include "Publisher.h"

class InProcessMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveNamedObjects();
        std::uint32_t error = 0;
        ASSERT_TRUE(monitor_.Create(sizeof(vantorix_shared_data), nullptr, &error)) << "error " << error;
    }
    void TearDown() override { monitor_.Remove(); }

    // Publishes raw bytes, so offsets are tested without the record type.
    void PublishBytes(const unsigned char (&bytes)[sizeof(vantorix_shared_data)]) {
        monitor_.Publish(bytes, sizeof(bytes));
    }
    template <typename T>
    static void Put(unsigned char* bytes, std::size_t offset, T value) {
        std::memcpy(bytes + offset, &value, sizeof(value));
    }

    CPublisher monitor_;
};

#endif  // VANTORIX_TESTS_INPROCESSMONITOR_H
