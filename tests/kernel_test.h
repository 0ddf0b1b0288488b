// Shared fixture for host tests: each test starts with a freshly booted simulated kernel and a freshly
// loaded driver image, and ends by asserting what a real kernel would check at unload.
#pragma once

#include <gtest/gtest.h>

#include "hestolvane.h"
#include "sim_kernel.h"

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Reset();
        sim::ReloadDriverData();
    }

    void TearDown() override {
        for (const std::string& Problem : sim::TeardownProblems()) {
            ADD_FAILURE() << Problem;
        }
    }
};
