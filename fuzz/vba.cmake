# The VBA project readers' fuzz target; included by fuzz/CMakeLists.txt.
add_executable(fuzz_vba ${CMAKE_CURRENT_LIST_DIR}/fuzz_vba.cpp)
target_include_directories(fuzz_vba PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_vba PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS} -fno-sanitize-recover=all)
target_link_options(fuzz_vba PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS})
target_link_libraries(fuzz_vba PRIVATE orv_server)
# Its seed: the project of the shared corpus's macro workbook, when the corpus is there.
get_filename_component(ORVANDEL_MACRO_BOOK ${PROJECT_SOURCE_DIR}/../shared/corpus/poi_57181.xlsm
                       ABSOLUTE)
if(EXISTS ${ORVANDEL_MACRO_BOOK})
  file(ARCHIVE_EXTRACT INPUT ${ORVANDEL_MACRO_BOOK} DESTINATION ${CMAKE_BINARY_DIR}/fuzz-vba-book
       PATTERNS xl/vbaProject.bin)
  file(COPY ${CMAKE_BINARY_DIR}/fuzz-vba-book/xl/vbaProject.bin
       DESTINATION ${CMAKE_BINARY_DIR}/fuzz-seeds/fuzz_vba)
endif()
