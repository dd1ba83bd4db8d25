# bench_net_service_signal: SIGTERM to the service process until STOPPED and
# the last byebye, against the foreground program's Ctrl+C.
if(TARGET qelupnp AND TARGET qel_upnphost AND TARGET qelupnp-sc)
  set(QEL_SSDP_LISTEN $<TARGET_FILE:qel_ssdp_listen>)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/service_signal_bench.sh.in
                 ${CMAKE_CURRENT_BINARY_DIR}/service_signal_bench.sh.gen @ONLY)
  file(GENERATE OUTPUT ${QEL_BIN_DIR}/bench_net_service_signal
       INPUT ${CMAKE_CURRENT_BINARY_DIR}/service_signal_bench.sh.gen
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
