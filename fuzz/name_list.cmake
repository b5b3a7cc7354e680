# The reader of lists of sheet names (orvandel-cli copy --names); included by fuzz/CMakeLists.txt.
add_executable(fuzz_name_list ${CMAKE_CURRENT_LIST_DIR}/fuzz_name_list.cpp)
target_include_directories(fuzz_name_list PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_name_list PRIVATE
                       -fsanitize=fuzzer,${ORVANDEL_SANITIZERS} -fno-sanitize-recover=all)
target_link_options(fuzz_name_list PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS})
target_link_libraries(fuzz_name_list PRIVATE orv_automation)
