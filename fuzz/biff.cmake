# The Excel 97-2003 readers' fuzz target; included by fuzz/CMakeLists.txt. Its seed is the
# shipped sample workbook.
add_executable(fuzz_biff ${CMAKE_CURRENT_LIST_DIR}/fuzz_biff.cpp)
target_include_directories(fuzz_biff PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_biff PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS} -fno-sanitize-recover=all)
target_link_options(fuzz_biff PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS})
target_link_libraries(fuzz_biff PRIVATE orv_server)
file(COPY ${PROJECT_SOURCE_DIR}/assets/Samples/sample1.xls
     DESTINATION ${CMAKE_BINARY_DIR}/fuzz-seeds/fuzz_biff)
