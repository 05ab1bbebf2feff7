# The operator command, run as an operator would (plain build only: the
# program is the installed kind, without sanitizers).
if(ZUCLOUD_SANITIZE STREQUAL "" AND TARGET zucloud-upload)
  add_test(NAME cli_test
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli_test.py $<TARGET_FILE:zucloud-upload> ${PROJECT_SOURCE_DIR})
  set_tests_properties(cli_test PROPERTIES TIMEOUT 300 LABELS "unit")
endif()
