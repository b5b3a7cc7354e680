# Tests of the formula reference tokenizer and the sheet-name rules.
foreach(name formula_refs_test sheet_names_test)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE orv_server GTest::gtest_main)
  gtest_discover_tests(${name})
endforeach()
