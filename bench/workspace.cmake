# Workspace read + description build against plain libxml2 (bench_workspace).
add_executable(bench_workspace ${CMAKE_CURRENT_LIST_DIR}/workspace_bench.cpp)
target_link_libraries(bench_workspace PRIVATE qel_program qel_platform PkgConfig::LIBXML2)
set_target_properties(bench_workspace PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
