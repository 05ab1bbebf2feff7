# Script tests (no C++ executable): registered with ctest alongside the
# GoogleTest executables.

# The emulator's storage side (Azurite launcher, SAS signing, storage proxy,
# blob service endpoints) checked against a real Azurite.
add_test(NAME emulator_storage_selftest
  COMMAND python3 ${PROJECT_SOURCE_DIR}/emulator/selftest_storage.py)
set_tests_properties(emulator_storage_selftest PROPERTIES TIMEOUT 120 LABELS "unit")

# The includes of every part of the library stay inside the parts and the
# outside libraries its build declaration names (cmake/zucloudParts.cmake).
add_test(NAME layering_check
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/layering_check.py
    ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/zucloud_parts.txt)
set_tests_properties(layering_check PROPERTIES TIMEOUT 60 LABELS "unit")

# The API reference from the public headers: Doxygen must find every public
# member and parameter documented (scripts/apidoc.sh fails on any warning).
if(ZUCLOUD_SANITIZE STREQUAL "")
  add_test(NAME apidoc_check
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/apidoc.sh ${PROJECT_BINARY_DIR}/apidoc)
  set_tests_properties(apidoc_check PROPERTIES TIMEOUT 120 LABELS "unit")
endif()
