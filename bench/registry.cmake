# Registry store: Win32 calls against the same statements on SQLite directly,
# and a store of 100,000 keys against one of 100.
if(TARGET benchmark::benchmark AND TARGET qel_registry)
  add_executable(bench_registry ${CMAKE_SOURCE_DIR}/platform/registry/bench/registry_bench.cpp)
  target_link_libraries(bench_registry PRIVATE qel_registry_internal benchmark::benchmark)
  set_target_properties(bench_registry PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
endif()

# Registry store over time: lookups in a big store, whole processes on a store
# that took 10,000 changes, its files' size, one value of a key with many.
if(TARGET qel_regtool)
  add_executable(bench_registry_store ${CMAKE_SOURCE_DIR}/platform/registry/bench/store_bench.cpp)
  target_link_libraries(bench_registry_store PRIVATE qel_regtool)
  target_compile_definitions(bench_registry_store PRIVATE QEL_REG_TOOL="$<TARGET_FILE:qelupnp-reg>")
  add_dependencies(bench_registry_store qelupnp-reg)
  set_target_properties(bench_registry_store PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
endif()
