// One emulator shared by the cases of a test suite, or by a whole test
// program.
#ifndef ZUCLOUD_TESTS_SUPPORT_EMULATOR_SUITE_H
#define ZUCLOUD_TESTS_SUPPORT_EMULATOR_SUITE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/http/ZuInternetGateway.h"
#include "support/Emulator.h"

namespace zutest {

// A test suite whose cases share one emulator: it starts before the first
// case and stops after the last. `Suite` is the deriving fixture, so that
// each suite has an emulator of its own; one that wants other options than
// the defaults declares a public `static EmulatorOptions emulatorOptions()`.
template <class Suite>
class EmulatorSuite : public ::testing::Test {
 protected:
  static EmulatorOptions emulatorOptions() { return {}; }
  static EmulatorOptions storageOptions() {
    EmulatorOptions options;
    options.storage = true;
    return options;
  }

  // Clears the emulator's state and points the settings file of `env` at
  // it: "Cloud URL" names its console, then `settings` follow in order.
  static void resetEmulator(ServiceEnv& env,
                            const std::vector<std::pair<std::string, std::string>>& settings = {}) {
    emulator->reset();
    env.setGlobal("Cloud URL", emulator->consoleUrl());
    for (const auto& setting : settings) env.setGlobal(setting.first, setting.second);
    env.write();
  }

  static void SetUpTestSuite() { emulator = new Emulator(Suite::emulatorOptions()); }
  static void TearDownTestSuite() {
    delete emulator;
    emulator = nullptr;
  }

  static inline Emulator* emulator = nullptr;
};

// An EmulatorSuite whose cases each run a service object: its environment
// (settings file, log) and a directory for the files it uploads.
template <class Suite>
class EmulatorServiceSuite : public EmulatorSuite<Suite> {
 protected:
  ServiceEnv env;
  TempDir files;
};

// One emulator with storage for a whole test program, as a global test
// environment (register it with ::testing::AddGlobalTestEnvironment). The
// gateway's stall limit is `stallSeconds` for its lifetime so that stall
// faults end quickly.
class StallLimitedEmulatorEnvironment : public ::testing::Environment {
 public:
  explicit StallLimitedEmulatorEnvironment(long stallSeconds) : m_stallSeconds(stallSeconds) {}

  void SetUp() override {
    m_savedLimits = LIBCURL::ZuInternetGateway::Limits();
    LIBCURL::GatewayLimits limits = m_savedLimits;
    limits.stallSeconds = m_stallSeconds;
    LIBCURL::ZuInternetGateway::SetLimits(limits);
    EmulatorOptions options;
    options.storage = true;
    m_emulator = std::make_unique<Emulator>(options);
  }
  void TearDown() override {
    m_emulator.reset();
    LIBCURL::ZuInternetGateway::SetLimits(m_savedLimits);
  }

  // Valid from SetUp to TearDown.
  Emulator& emulator() { return *m_emulator; }

 private:
  long m_stallSeconds;
  LIBCURL::GatewayLimits m_savedLimits;
  std::unique_ptr<Emulator> m_emulator;
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_EMULATOR_SUITE_H
