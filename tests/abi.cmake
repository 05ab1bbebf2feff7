# The exported interface as a host sees it (symbols, headers, install).
# Not under sanitizers: the host program is built without them.
if(ZUCLOUD_SANITIZE STREQUAL "")
  add_test(NAME abi_check
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/abi_check.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
  set_tests_properties(abi_check PROPERTIES TIMEOUT 300 LABELS "unit")

  # The Debian packages, built from a second tree for the /usr layout and
  # used from a scratch root. Slow the first time (a whole build), so it is
  # "long": the plain build runs it, as it runs the multi-GiB uploads.
  add_test(NAME packaging_test
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/packaging_test.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set_tests_properties(packaging_test PROPERTIES TIMEOUT 900 LABELS "long")
endif()
