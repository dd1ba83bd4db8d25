# Registry store: Win32 calls against the same statements on SQLite directly,
# and a store of 100,000 keys against one of 100.
if(TARGET benchmark::benchmark AND TARGET qel_registry)
  add_executable(bench_registry ${CMAKE_SOURCE_DIR}/platform/registry/bench/registry_bench.cpp)
  target_link_libraries(bench_registry PRIVATE qel_registry_internal benchmark::benchmark)
  set_target_properties(bench_registry PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
endif()
