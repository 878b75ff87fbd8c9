# Paths of the test peers and the shared namespace pair, for any directory
# that registers tests using them:
#   include(${CMAKE_SOURCE_DIR}/tests/netns/KVTestEnv.cmake)
#   kv_sim_test(my_test)     # loopback simulator: KVSIM, KV_PYTHON in the environment
#   kv_netns_test(my_test)   # + the `netns` fixture and KVNETNS=<pair name>
include_guard(DIRECTORY)

set(KV_PYTHON /usr/bin/python3)
get_filename_component(KV_SIM "${CMAKE_CURRENT_LIST_DIR}/../sim/kvsim.py" ABSOLUTE)
set(KV_NETNS_SH "${CMAKE_CURRENT_LIST_DIR}/kvnetns.sh")

# One pair per build tree, so two build trees can run their tests at once.
string(MD5 _kv_tree_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_kv_tree_hash}" 0 8 _kv_tree_hash)
set(KV_NETNS_NAME "kvct${_kv_tree_hash}")

function(kv_sim_test test)
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
    "KVSIM=${KV_SIM}" "KV_PYTHON=${KV_PYTHON}" "PYTHONDONTWRITEBYTECODE=1")
endfunction()

function(kv_netns_test test)
  kv_sim_test(${test})
  set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED netns)
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
    "KVNETNS=${KV_NETNS_NAME}" "KVNETNS_SH=${KV_NETNS_SH}")
endfunction()
