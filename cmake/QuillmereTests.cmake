# Registers a GoogleTest binary with CTest.
#
# Normally every test case becomes its own CTest entry, so a failure names its
# case and CTest spreads the cases over the cores. Under the sanitizers a
# process costs about a quarter of a second to start, which for thousands of
# parameterised cases was nearly all of the sanitizer run's time; there the
# binary runs as a few GoogleTest shards instead, each a single process that
# still runs (and names) every case of its share.
function(quillmere_add_gtests target)
  if(QUILLMERE_SANITIZE)
    set(shards 4)
    math(EXPR last "${shards} - 1")
    foreach(index RANGE ${last})
      set(name ${target}_shard_${index})
      add_test(NAME ${name} COMMAND ${target})
      set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "GTEST_TOTAL_SHARDS=${shards};GTEST_SHARD_INDEX=${index}")
    endforeach()
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
