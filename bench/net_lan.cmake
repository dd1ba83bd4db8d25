# bench_net_lan: the device host on a LAN of two namespaces against the
# minimal libupnp device (bench/run starts bench_net_* in a private namespace).
# The helpers (tests/net, devicecontrol/) are declared later; their paths resolve
# when the build is generated.
if(TARGET qelupnp AND TARGET qel_upnphost AND TARGET qel_libupnp_device)
  set(QEL_SSDP_LISTEN $<TARGET_FILE:qel_ssdp_listen>)
  set(QEL_NET_PUBLISH $<TARGET_FILE:qel_net_publish>)
  set(QEL_DEVCTL $<TARGET_FILE:qeldevicecontrol>)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/net_lan_bench.sh.in ${CMAKE_CURRENT_BINARY_DIR}/net_lan_bench.sh.gen @ONLY)
  file(GENERATE OUTPUT ${QEL_BIN_DIR}/bench_net_lan INPUT ${CMAKE_CURRENT_BINARY_DIR}/net_lan_bench.sh.gen
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
