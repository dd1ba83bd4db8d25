# bench_net_upnphost: the device host against a minimal GUPnP publisher
# (bench/run starts bench_net_* in a private network namespace).
if(TARGET qel_upnphost)
  add_executable(bench_net_upnphost ${CMAKE_SOURCE_DIR}/platform/upnphost/bench/upnphost_bench.cpp)
  target_link_libraries(bench_net_upnphost PRIVATE qel_platform qel_upnphost PkgConfig::GUPNP PkgConfig::LIBXML2)
  set_target_properties(bench_net_upnphost PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
  # bench_net_http: the HTTP server under load against GUPnP and libupnp.
  add_executable(bench_net_http ${CMAKE_SOURCE_DIR}/platform/upnphost/bench/http_bench.cpp)
  target_link_libraries(bench_net_http PRIVATE qel_platform qel_upnphost PkgConfig::GUPNP PkgConfig::LIBXML2)
  set_target_properties(bench_net_http PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
  if(TARGET qel_libupnp_device)
    add_dependencies(bench_net_http qel_libupnp_device)
  endif()
  file(COPY ${CMAKE_SOURCE_DIR}/tests/net/fixture/device.xml ${CMAKE_SOURCE_DIR}/tests/net/fixture/QelUPnPService.xml
       DESTINATION ${CMAKE_BINARY_DIR}/bench-fixtures/upnphost)
endif()
