# The duplication run, the copy-count reader and the workbook listing: the
# window's workbook work, kept free of Qt so that it is tested without widgets.
# Include this file after orv_server and orv_naming are declared (it refers to
# them by name only, so the order of inclusion does not matter to CMake).
add_library(orv_run STATIC
  ${CMAKE_CURRENT_LIST_DIR}/copy_count.cpp
  ${CMAKE_CURRENT_LIST_DIR}/duplication_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/workbook_listing.cpp
)
target_include_directories(orv_run PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(orv_run PUBLIC orv_server orv_naming)
