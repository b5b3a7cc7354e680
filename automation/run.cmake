# The duplication run, the copy-count reader and the worksheet listing: the
# window's workbook work, apart from the widgets so that it is tested without
# them. The run's table uses the Step rows of app/trap.h (a header that needs
# QtCore's include paths, no Qt symbols); the window runs it with runTrapped.
# Include this file where Qt6 has been found; orv_server and orv_naming are
# referred to by name, so they may be declared before or after.
add_library(orv_run STATIC
  ${CMAKE_CURRENT_LIST_DIR}/copy_count.cpp
  ${CMAKE_CURRENT_LIST_DIR}/duplication_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/workbook_listing.cpp
)
target_include_directories(orv_run PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(orv_run PUBLIC orv_server orv_naming Qt6::Core)
