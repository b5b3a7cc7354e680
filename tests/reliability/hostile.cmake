# Hostile workbooks, made at test time, copied by orvandel-cli under 2 GB of address space.
add_test(NAME reliability.hostile_input
         COMMAND ${ORVANDEL_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/hostile_input_test.py -v)
set_tests_properties(reliability.hostile_input PROPERTIES
                     ENVIRONMENT "ORVANDEL_CLI=$<TARGET_FILE:orvandel-cli>"
                     TIMEOUT 600)

# Memory running out inside the XML parser, by allocation failure injection.
add_executable(out_of_memory_test ${CMAKE_CURRENT_LIST_DIR}/out_of_memory_test.cpp)
target_include_directories(out_of_memory_test PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(out_of_memory_test PRIVATE orv_test_support GTest::gtest_main)
gtest_discover_tests(out_of_memory_test TEST_PREFIX reliability. PROPERTIES TIMEOUT 120)
