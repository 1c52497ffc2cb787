// ring_fixture.h - an in-process simulator with one device handle and one
// receive ring that the tear-down closes (for tests that link libkpt).
#pragma once

#include "kpt.h"
#include "test_support.h"

namespace kpttest {

class RingTest : public SimTest {
protected:
    void TearDown() override
    {
        if (ring_) {
            EXPECT_EQ(kpt_ring_close(ring_), 0);
        }
        if (h_) {
            EXPECT_EQ(kpt_close(h_), 0);
        }
        SimTest::TearDown();
    }

    kpt_handle_t h_ = nullptr;
    kpt_ring_t ring_ = nullptr;
};

}  // namespace kpttest
