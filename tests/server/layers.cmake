# Tests of the engine's shared layers (ZIP store, compound files, relationships, ids, refusals).
# libgsf writes and reads their compound files independently of the engine: Linux only (the
# Windows build reads compound files through the system's own structured storage).
if(NOT WIN32)
  pkg_check_modules(GSF REQUIRED IMPORTED_TARGET libgsf-1)
  add_executable(layers_test ${CMAKE_CURRENT_LIST_DIR}/layers_test.cpp)
  target_link_libraries(layers_test PRIVATE orv_test_support PkgConfig::GSF GTest::gtest_main)
  gtest_discover_tests(layers_test)
endif()
