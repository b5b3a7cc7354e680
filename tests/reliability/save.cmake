# Saving under faults. A library preloaded into orvandel-cli fails one file operation at a time
# (or raises a signal in its place); the tests run the real program under it, as another user,
# and on a full disk.
add_library(orv_fault_shim SHARED fault_shim.c)
target_link_libraries(orv_fault_shim PRIVATE ${CMAKE_DL_LIBS})
# dlsym gives functions as data pointers, which POSIX allows and ISO C does not.
target_compile_options(orv_fault_shim PRIVATE -Wno-pedantic)

add_executable(reliability_test save_faults_test.cpp)
target_compile_definitions(reliability_test PRIVATE ORV_CLI="$<TARGET_FILE:orvandel-cli>"
                                                    ORV_FAULT_SHIM="$<TARGET_FILE:orv_fault_shim>")
target_link_libraries(reliability_test PRIVATE orv_test_support GTest::gtest_main)
add_dependencies(reliability_test orvandel-cli orv_fault_shim)
gtest_discover_tests(reliability_test TEST_PREFIX reliability. PROPERTIES TIMEOUT 300 LABELS reliability)
