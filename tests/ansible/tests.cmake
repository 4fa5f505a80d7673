# contrib/ansible/fleet.yml run by ansible-playbook on this machine against
# simulated hubs. trelk-fleet runs when it is built; until then a stand-in
# with its command line and report plays it.
if(TARGET trelk-hubsim)
  if(TARGET trelk-fleet)
    set(trelk_fleet_for_ansible $<TARGET_FILE:trelk-fleet>)
  else()
    set(trelk_fleet_for_ansible ${CMAKE_CURRENT_LIST_DIR}/stand-in-trelk-fleet.py)
  endif()
  add_test(NAME ansible.fleet_playbook
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fleet_test.sh
      ${trelk_fleet_for_ansible} $<TARGET_FILE:trelk-hubsim>)
  set_tests_properties(ansible.fleet_playbook PROPERTIES LABELS "e2e" TIMEOUT 600)
endif()
