// A fixture of a folder service object under test against the folder fake
// cloud: the service's environment, the fake gateways it connects through,
// the recorder of its waits and the fake answering its requests.
#ifndef ZUCLOUD_TESTS_SUPPORT_FOLDER_FAKE_TEST_H
#define ZUCLOUD_TESTS_SUPPORT_FOLDER_FAKE_TEST_H

#include <gtest/gtest.h>

#include "support/Emulator.h"
#include "support/FakeGateway.h"
#include "support/FolderFakeCloud.h"
#include "support/ServiceAccess.h"

namespace zutest {

class FolderFakeTest : public ::testing::Test {
 protected:
  int gatewaysLeft() { return gateways.gatewaysLeft(); }

  ServiceEnv env;
  ScopedFakeGateways gateways;
  ScopedSleepRecorder sleeps;
  FolderFakeCloud cloud{gateways.journal()};
  FolderServiceAccess service;
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_FOLDER_FAKE_TEST_H
