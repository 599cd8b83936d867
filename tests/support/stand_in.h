// A fixture that starts every test with a fresh stand-in client library and gives it an
// environment and an error handle, as a host has them.
#ifndef TXSCREEN_TESTS_SUPPORT_STAND_IN_H_
#define TXSCREEN_TESTS_SUPPORT_STAND_IN_H_

#include <gtest/gtest.h>

#include "control.hpp"
#include "oci_api.h"
#include "ocisim.h"

namespace testing_support {

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ocisim_reset();
    ASSERT_EQ(OCIEnvCreate(&env_, OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
              OCI_SUCCESS);
    ASSERT_EQ(OCIHandleAlloc(env_, reinterpret_cast<void**>(&err_), OCI_HTYPE_ERROR, 0, nullptr),
              OCI_SUCCESS);
  }
  void TearDown() override { ocisim_reset(); }

  OCIEnv* env_ = nullptr;
  OCIError* err_ = nullptr;
};

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_STAND_IN_H_
