# bench_log: WriteLog throughput to the log file.
if(TARGET benchmark::benchmark AND TARGET qel_log)
  add_executable(bench_log ${CMAKE_CURRENT_LIST_DIR}/log_bench.cpp)
  target_link_libraries(bench_log PRIVATE qel_program qel_platform benchmark::benchmark)
  set_target_properties(bench_log PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
endif()
