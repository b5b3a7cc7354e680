# The raw ZIP reader (the layout of an archive and its entries read from it, as an `.ods`
# instance reads the file the last one saved), checked against libzip; included by
# fuzz/CMakeLists.txt. Seeds: the engine's own target's workbooks.
add_executable(fuzz_zip_layout ${CMAKE_CURRENT_LIST_DIR}/fuzz_zip_layout.cpp
                               ${CMAKE_CURRENT_LIST_DIR}/zip_crc_fixer.cpp)
target_include_directories(fuzz_zip_layout PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_zip_layout PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS}
                                               -fno-sanitize-recover=all)
target_link_options(fuzz_zip_layout PRIVATE -fsanitize=fuzzer,${ORVANDEL_SANITIZERS})
target_link_libraries(fuzz_zip_layout PRIVATE orv_server ZLIB::ZLIB)
