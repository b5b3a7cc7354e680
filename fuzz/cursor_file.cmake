# The cursor file reader's fuzz target; included by fuzz/CMakeLists.txt. The
# reader is compiled here with the fuzzer's instrumentation; Qt's image
# plugins do the picture decoding.
add_executable(fuzz_cursor_file
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_cursor_file.cpp
  ${PROJECT_SOURCE_DIR}/app/hand_cursor.cpp
)
target_include_directories(fuzz_cursor_file PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(fuzz_cursor_file PRIVATE Qt6::Gui)
target_compile_options(fuzz_cursor_file PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_cursor_file PRIVATE -fsanitize=fuzzer,address,undefined)
