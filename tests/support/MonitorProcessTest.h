// A test fixture with the stand-in monitor as a separate process, and no
// leftover objects before or after.
#ifndef VANTORIX_TESTS_MONITORPROCESSTEST_H
#define VANTORIX_TESTS_MONITORPROCESSTEST_H

#include <gtest/gtest.h>

#include "Publisher.h"
#include "StandinMonitor.h"

class MonitorProcessTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveNamedObjects(); }
    void TearDown() override {
        monitor_.Kill();
        RemoveNamedObjects();
    }
    CStandinMonitor monitor_;
};

#endif  // VANTORIX_TESTS_MONITORPROCESSTEST_H
