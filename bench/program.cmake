# bench_net_program: the whole program against the minimal GUPnP publisher.
# The helpers it runs are declared later (tests/net, bench/upnphost.cmake); their
# paths resolve when the build is generated.
if(TARGET qelupnp AND TARGET qel_upnphost)
  set(QEL_SSDP_LISTEN $<TARGET_FILE:qel_ssdp_listen>)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/program_bench.sh.in ${CMAKE_CURRENT_BINARY_DIR}/program_bench.sh.gen @ONLY)
  file(GENERATE OUTPUT ${QEL_BIN_DIR}/bench_net_program INPUT ${CMAKE_CURRENT_BINARY_DIR}/program_bench.sh.gen
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
