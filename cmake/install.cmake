# Installing the library for host programs: the shared library, the public
# header and the license, a CMake package (find_package gives the imported
# target brellock::downloadstation) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ds_package brellock-synology-downloadstation)
set(ds_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${ds_package})

# The name a host's build uses, installed or not.
set_target_properties(brellock-synology-downloadstation PROPERTIES EXPORT_NAME downloadstation)
add_library(brellock::downloadstation ALIAS brellock-synology-downloadstation)

install(TARGETS brellock-synology-downloadstation EXPORT ds_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/synology_ds.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The imported target names the library by its full path (without a "lib"
# prefix, -l cannot name it) and carries its soname; CMake gives a host
# linked to it the library's folder as run path in the host's build tree.
install(EXPORT ds_targets NAMESPACE brellock:: FILE ${ds_package}-targets.cmake
  DESTINATION ${ds_package_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/${ds_package}-config.cmake.in
  ${PROJECT_BINARY_DIR}/${ds_package}-config.cmake INSTALL_DESTINATION ${ds_package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/${ds_package}-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/${ds_package}-config.cmake
              ${PROJECT_BINARY_DIR}/${ds_package}-config-version.cmake
  DESTINATION ${ds_package_dir})

if(NOT WIN32)
  # pkg-config: Libs names the library by its full path and adds a run path,
  # so a host finds it without LD_LIBRARY_PATH. The prefix is written in when
  # installing, so that the one given to "cmake --install --prefix" counts;
  # everything else is filled in now ("@ds_pc_prefix@" stays for then).
  set(ds_pc_prefix "@ds_pc_prefix@")
  set(ds_pc_libdir "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(ds_pc_libdir "${CMAKE_INSTALL_LIBDIR}")
  endif()
  set(ds_pc_includedir "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(ds_pc_includedir "${CMAKE_INSTALL_INCLUDEDIR}")
  endif()
  set(ds_pc ${PROJECT_BINARY_DIR}/${ds_package}.pc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${ds_package}.pc.in ${ds_pc}.in @ONLY)
  install(CODE "set(ds_pc_prefix \"\${CMAKE_INSTALL_PREFIX}\")
configure_file(\"${ds_pc}.in\" \"${ds_pc}\" @ONLY)")
  install(FILES ${ds_pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
