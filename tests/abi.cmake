# The exported interface as a host sees it (symbols, headers, install).
# Not under sanitizers: the host program is built without them.
if(ZUCLOUD_SANITIZE STREQUAL "")
  add_test(NAME abi_check
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/abi_check.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
  set_tests_properties(abi_check PROPERTIES TIMEOUT 300 LABELS "unit")
endif()
