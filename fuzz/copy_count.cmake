# The copy-count reader's fuzz target; included by fuzz/CMakeLists.txt. The
# source is compiled here with the fuzzer's instrumentation.
add_executable(fuzz_copy_count
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_copy_count.cpp
  ${PROJECT_SOURCE_DIR}/automation/copy_count.cpp
)
target_include_directories(fuzz_copy_count PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_copy_count PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_copy_count PRIVATE -fsanitize=fuzzer,address,undefined)
