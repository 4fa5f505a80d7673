# The simulator's own line formats, checked without a pseudo-terminal. They
# link only the simulator's library, never trelk_core.
if(TARGET trelk_hubsim_lib)
  trelk_add_tool_unit_test(${CMAKE_CURRENT_LIST_DIR}/proto_test.cpp trelk_hubsim_lib)
endif()
