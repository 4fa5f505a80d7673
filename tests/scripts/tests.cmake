# The mutation sampler's own checks: what it mutates and how it puts files
# back, without building anything (scripts/test.sh never runs the sampler
# itself: it takes a build and a test run per mutant).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME scripts.mutants
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/mutants_test.py)
set_tests_properties(scripts.mutants PROPERTIES LABELS "unit" TIMEOUT 120)
