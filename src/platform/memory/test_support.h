// Shared set-up for tests that run over the memory platform.
#pragma once

#include <gtest/gtest.h>

#include "ax/roles.h"
#include "platform/memory/memory_platform.h"

namespace kestreye::testing {

/// Starts every test on an empty tree and checks that it leaked no handle.
class MemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory::reset();
    resetWalkBudget();
  }
  void TearDown() override { EXPECT_EQ(memory::liveHandles(), 0); }
};

}  // namespace kestreye::testing
