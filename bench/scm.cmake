# bench_scm: the manager's share of starting and stopping a trivial service.
if(TARGET qel_scm AND TARGET qelupnp-sc AND TARGET scm_testsvc)
  add_executable(bench_scm ${CMAKE_SOURCE_DIR}/platform/scm/bench/scm_bench.cpp)
  target_link_libraries(bench_scm PRIVATE qel_scm)
  target_compile_definitions(bench_scm PRIVATE QEL_SC_TOOL="$<TARGET_FILE:qelupnp-sc>"
                             QEL_SCM_TESTSVC="$<TARGET_FILE:scm_testsvc>")
  add_dependencies(bench_scm qelupnp-sc scm_testsvc)
  set_target_properties(bench_scm PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
endif()
