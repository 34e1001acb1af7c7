// Shared set-up for tests that run over the memory platform.
#pragma once

#include <gtest/gtest.h>

#include "platform/memory/memory_platform.h"
#include "scan/scan_state.h"

namespace kestreye::testing {

/// The memory platform of the test program, never destroyed: a handle may
/// still be released while the program ends.
inline Platform& memoryPlatform() {
  static Platform* const platform = memory::makePlatform().release();
  return *platform;
}

/// Starts every test on an empty tree with the memory platform installed and
/// a fresh scan state, and checks that the test leaked no handle.
class MemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory::reset();
    installPlatform(memoryPlatform());
  }
  void TearDown() override { EXPECT_EQ(memory::liveHandles(), 0); }

  ScanState state;
};

}  // namespace kestreye::testing
