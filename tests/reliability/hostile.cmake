# Hostile workbooks, made at test time, copied by orvandel-cli under 2 GB of address space.
add_test(NAME reliability.hostile_input
         COMMAND ${ORVANDEL_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/hostile_input_test.py -v)
set_tests_properties(reliability.hostile_input PROPERTIES
                     ENVIRONMENT "ORVANDEL_CLI=$<TARGET_FILE:orvandel-cli>"
                     TIMEOUT 600)
