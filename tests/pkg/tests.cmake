# The package tool's own code, checked without the program. It links only the
# tool's library.
if(TARGET trelk_pkg_lib)
  trelk_add_tool_unit_test(${CMAKE_CURRENT_LIST_DIR}/sha256_test.cpp trelk_pkg_lib)
endif()
