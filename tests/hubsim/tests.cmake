# The simulator's own line formats, checked without a pseudo-terminal. They
# link only the simulator's library, never trelk_core.
if(TARGET trelk_hubsim_lib)
  add_executable(hubsim_proto_test ${CMAKE_CURRENT_LIST_DIR}/proto_test.cpp)
  target_link_libraries(hubsim_proto_test PRIVATE trelk_hubsim_lib GTest::gtest_main)
  gtest_discover_tests(hubsim_proto_test
    TEST_PREFIX "hubsim."
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "unit" TIMEOUT 120)
endif()
