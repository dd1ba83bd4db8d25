# qel_libupnp_device: the minimal libupnp device that the network benchmarks
# measure the device host against (not a benchmark itself, so not bench_*).
pkg_check_modules(LIBUPNP QUIET IMPORTED_TARGET libupnp)
if(LIBUPNP_FOUND)
  add_executable(qel_libupnp_device ${CMAKE_CURRENT_LIST_DIR}/libupnp_device.c)
  target_link_libraries(qel_libupnp_device PRIVATE PkgConfig::LIBUPNP)
  set_target_properties(qel_libupnp_device PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_BIN_DIR})
else()
  message(STATUS "libupnp not found: the network benchmarks run without their libupnp baseline")
endif()
