# Registration: the program's -RegServer and -UnregServer runs (wall time of the
# whole process) and the script interpreter's two passes alone.
if(TARGET benchmark::benchmark AND TARGET qel_comreg AND TARGET qelres_program)
  add_executable(bench_comreg ${CMAKE_CURRENT_LIST_DIR}/comreg_bench.cpp)
  target_link_libraries(bench_comreg PRIVATE qel_program qel_platform benchmark::benchmark)
  set(program "")
  if(TARGET qelupnp)
    set(program "$<TARGET_FILE:qelupnp>")
    add_dependencies(bench_comreg qelupnp)
  endif()
  target_compile_definitions(bench_comreg PRIVATE QEL_BENCH_PROGRAM="${program}"
                             QEL_FIXTURE_PROGRAM="$<TARGET_FILE:qelres_program>")
  add_dependencies(bench_comreg qelres_program)
  set_target_properties(bench_comreg PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
endif()
