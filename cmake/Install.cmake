# cmake --install BUILD --prefix DIR: the public header, the static library,
# a pkg-config file and a CMake package (find_package(kpt) -> kpt::kpt), and
# the programs.  The pkg-config file locates itself, so the tree can be moved.
include(CMakePackageConfigHelpers)

install(TARGETS kpt EXPORT kptTargets ARCHIVE DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/lib/kpt.h DESTINATION include)

# The library is C++ inside: C applications need its runtime and threads.
set(KPT_PC_LIBS "-lstdc++ -lpthread")
configure_file(${CMAKE_SOURCE_DIR}/cmake/kpt.pc.in ${CMAKE_BINARY_DIR}/kpt.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kpt.pc DESTINATION lib/pkgconfig)

install(EXPORT kptTargets NAMESPACE kpt:: DESTINATION lib/cmake/kpt)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kptConfig.cmake.in
  ${CMAKE_BINARY_DIR}/kptConfig.cmake INSTALL_DESTINATION lib/cmake/kpt)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kptConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kptConfig.cmake ${CMAKE_BINARY_DIR}/kptConfigVersion.cmake
  DESTINATION lib/cmake/kpt)

# Programs: whichever of them this build has.
set(KPT_INSTALL_PROGRAMS quor_simd quor_simctl kpt_dump kpt_hello kpt_demo
    quor_intr_coal quor_port_failover quor_mdio_rw quor_kv_scan kpt_1thread_recv kpt_nthread_recv kpt_inj kpt_basic_diags kpt_oc
    kpt_portinfo udp_multi_sink)
foreach(prog ${KPT_INSTALL_PROGRAMS})
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION bin)
  endif()
endforeach()
