# bench_net_upnphost: the device host against a minimal GUPnP publisher
# (bench/run starts bench_net_* in a private network namespace).
if(TARGET qel_upnphost)
  add_executable(bench_net_upnphost ${CMAKE_SOURCE_DIR}/platform/upnphost/bench/upnphost_bench.cpp)
  target_link_libraries(bench_net_upnphost PRIVATE qel_platform qel_upnphost PkgConfig::GUPNP PkgConfig::LIBXML2)
  set_target_properties(bench_net_upnphost PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
  file(COPY ${CMAKE_SOURCE_DIR}/tests/net/fixture/device.xml ${CMAKE_SOURCE_DIR}/tests/net/fixture/QelUPnPService.xml
       DESTINATION ${CMAKE_BINARY_DIR}/bench-fixtures/upnphost)
endif()
