# The OpenDocument engine's fuzz targets; included by fuzz/CMakeLists.txt.
#  - fuzz_ods_content: bytes as a spreadsheet's document content (content.xml) through the parser,
#    the refusal checks, the copy of a table and a rename (seeds: the corpus files' content).
#  - fuzz_ods_formula: bytes through the OpenFormula reference rewriter; its sources are compiled
#    here with the fuzzer's coverage, as the A1 tokenizer's are.
add_executable(fuzz_ods_content ${CMAKE_CURRENT_LIST_DIR}/fuzz_ods_content.cpp)
target_include_directories(fuzz_ods_content PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_ods_content PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS}
                                                -fno-sanitize-recover=all)
target_link_options(fuzz_ods_content PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS})
target_link_libraries(fuzz_ods_content PRIVATE orv_server)

add_executable(fuzz_ods_formula
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_ods_formula.cpp
  ${PROJECT_SOURCE_DIR}/server/ods/open_formula.cpp
  ${PROJECT_SOURCE_DIR}/server/ooxml/a1_references.cpp
  ${PROJECT_SOURCE_DIR}/server/sheet_names.cpp
)
target_include_directories(fuzz_ods_formula PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_ods_formula PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_ods_formula PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(fuzz_ods_formula PRIVATE PkgConfig::ICU_UC)
