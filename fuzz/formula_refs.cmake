# The formula tokenizer's fuzz target; included by fuzz/CMakeLists.txt.
# Its sources are compiled here, with the fuzzer's coverage instrumentation, so that the
# search is guided even when the server library itself is built without it.
pkg_check_modules(ICU_UC REQUIRED IMPORTED_TARGET icu-uc)
add_executable(fuzz_formula_refs
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_formula_refs.cpp
  ${PROJECT_SOURCE_DIR}/server/ooxml/a1_references.cpp
  ${PROJECT_SOURCE_DIR}/server/sheet_names.cpp
  ${PROJECT_SOURCE_DIR}/server/unicode_chars.cpp
  ${PROJECT_SOURCE_DIR}/server/unicode_chars_posix.cpp
)
target_include_directories(fuzz_formula_refs PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_formula_refs PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_formula_refs PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(fuzz_formula_refs PRIVATE PkgConfig::ICU_UC)
