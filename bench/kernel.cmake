# bench_kernel: the wide formatter and the exclusive open/append/close cycle of the log file.
if(TARGET benchmark::benchmark AND TARGET qel_kernel)
  add_executable(bench_kernel ${CMAKE_SOURCE_DIR}/platform/kernel/bench/kernel_bench.cpp)
  target_link_libraries(bench_kernel PRIVATE qel_kernel benchmark::benchmark)
  set_target_properties(bench_kernel PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
endif()
