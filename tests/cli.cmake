# The operator command, run as an operator would, and the README's host
# programs (plain build only: the programs are the installed kind, without
# sanitizers).
if(ZUCLOUD_SANITIZE STREQUAL "" AND TARGET zucloud-upload)
  # The README's host programs (docs/examples), built as a host builds
  # them: the public headers and the shared library, nothing else. The same
  # test runs them against the emulator.
  set(example_programs)
  foreach(example folder_upload blob_upload)
    add_executable(example_${example} ${PROJECT_SOURCE_DIR}/docs/examples/${example}.cpp)
    target_link_libraries(example_${example} PRIVATE zucloud)
    list(APPEND example_programs $<TARGET_FILE:example_${example}>)
  endforeach()
  add_test(NAME cli_test
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli_test.py $<TARGET_FILE:zucloud-upload> ${PROJECT_SOURCE_DIR}
      ${example_programs})
  set_tests_properties(cli_test PROPERTIES TIMEOUT 300 LABELS "unit" COST 25)
endif()
