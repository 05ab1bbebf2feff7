# Script tests (no C++ executable): registered with ctest alongside the
# GoogleTest executables.

# The emulator's storage side (Azurite launcher, SAS signing, storage proxy,
# blob service endpoints) checked against a real Azurite.
add_test(NAME emulator_storage_selftest
  COMMAND python3 ${PROJECT_SOURCE_DIR}/emulator/selftest_storage.py)
set_tests_properties(emulator_storage_selftest PROPERTIES TIMEOUT 120 LABELS "unit")
