# Warnings, sanitizers and fuzzing flags shared by every target of the project.
add_compile_options(-Wall -Wextra -Wno-unused-parameter)
add_compile_definitions(OPENSSL_API_COMPAT=0x10100000L)

if(KV_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KV_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KV_SANITIZE must be empty, address or thread")
endif()

if(KV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KV_FUZZ needs clang")
  endif()
  # Libraries get coverage instrumentation; only fuzz targets link the fuzzer main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # A line per rejected message would slow the fuzzer to the speed of its output.
  add_compile_definitions(KV_FUZZ_BUILD)
endif()

# kv_add_fuzzers(<dir> <libs...>): one libFuzzer executable per fuzz_*.cpp in <dir>,
# each with a ctest smoke run over its seed corpus (corpus/<name>/).
function(kv_add_fuzzers dir)
  if(NOT KV_FUZZ)
    return()
  endif()
  file(GLOB fuzz_srcs CONFIGURE_DEPENDS ${dir}/fuzz_*.cpp)
  foreach(src ${fuzz_srcs})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${ARGN})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(corpus ${dir}/corpus/${name})
    add_test(NAME ${name}_smoke
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz-smoke.sh $<TARGET_FILE:${name}> ${corpus})
    set_tests_properties(${name}_smoke PROPERTIES LABELS fuzz TIMEOUT 300)
  endforeach()
endfunction()

# kv_add_tests(<prefix> <dir> <libs...>): the GoogleTest files of <dir> grouped by what
# they need, told by their suffix:
#   *_test.cpp        nothing outside the process but loopback     -> <prefix>_tests
#   *_sim_test.cpp    a Python test peer (the simulator and others) -> <prefix>_sim_tests, label sim
#   *_netns_test.cpp  private namespace pairs (root); each test runs itself again inside
#                     a fresh pair                                   -> <prefix>_netns_tests, label netns
function(kv_add_tests prefix dir)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB all CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  set(sim ${all})
  list(FILTER sim INCLUDE REGEX "_sim_test\\.cpp$")
  set(netns ${all})
  list(FILTER netns INCLUDE REGEX "_netns_test\\.cpp$")
  set(plain ${all})
  list(FILTER plain EXCLUDE REGEX "_(sim|netns)_test\\.cpp$")
  foreach(kind plain sim netns)
    if(NOT ${kind})
      continue()
    endif()
    if(kind STREQUAL "plain")
      set(bin ${prefix}_tests)
    else()
      set(bin ${prefix}_${kind}_tests)
    endif()
    add_executable(${bin} ${${kind}})
    target_link_libraries(${bin} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main)
    # Tests named *Slow* are slow; the sanitizer builds leave them out.
    if(kind STREQUAL "plain")
      gtest_discover_tests(${bin} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
    else()
      gtest_discover_tests(${bin} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS ${kind})
    endif()
  endforeach()
endfunction()
