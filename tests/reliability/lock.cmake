# Workbooks shared with other runs and programs (office locks, concurrent writers, killed
# runs), driven through orvandel-cli by Python scripts.
foreach(group LockFile Concurrency Names)
  add_test(NAME reliability.lock.${group}
           COMMAND ${ORVANDEL_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/lock_test.py -v ${group})
  set_tests_properties(reliability.lock.${group} PROPERTIES
                       ENVIRONMENT "ORVANDEL_CLI=$<TARGET_FILE:orvandel-cli>"
                       LABELS reliability TIMEOUT 300)
endforeach()
add_test(NAME reliability.kill_trials
         COMMAND ${ORVANDEL_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/kill_trials_test.py -v)
set_tests_properties(reliability.kill_trials PROPERTIES
                     ENVIRONMENT "ORVANDEL_CLI=$<TARGET_FILE:orvandel-cli>"
                     LABELS reliability TIMEOUT 600)
