# The office lock file reader's fuzz target; included by fuzz/CMakeLists.txt.
add_executable(fuzz_lock_entry ${CMAKE_CURRENT_LIST_DIR}/fuzz_lock_entry.cpp)
target_include_directories(fuzz_lock_entry PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_lock_entry PRIVATE
                       -fsanitize=fuzzer,${ORVANDEL_SANITIZERS} -fno-sanitize-recover=all)
target_link_options(fuzz_lock_entry PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS})
target_link_libraries(fuzz_lock_entry PRIVATE orv_server)
