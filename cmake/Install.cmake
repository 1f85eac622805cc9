# `cmake --install`: the plug-in in the library folder (component Runtime); for host authors
# the public header, a pkg-config file and a CMake package (component Development).
# A host never links the plug-in: it loads it with dlopen. So both the pkg-config file and
# the CMake package give the header's include folder and the installed plug-in's path.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_target_property(_plugin_name usbRedirectionPlugin OUTPUT_NAME)
set(USBREDIR_PLUGIN_FILE
    ${CMAKE_SHARED_LIBRARY_PREFIX}${_plugin_name}${CMAKE_SHARED_LIBRARY_SUFFIX})
set(USBREDIR_PLUGIN_INSTALL_PATH ${CMAKE_INSTALL_LIBDIR}/${USBREDIR_PLUGIN_FILE})

install(TARGETS usbRedirectionPlugin
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/usbRedirectionPlugin.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

# pkg-config: usbRedirectionPlugin.pc, paths below ${prefix} where they lie under it.
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(USBREDIR_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(USBREDIR_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
set(USBREDIR_PC_DL_LIBS "")
foreach(_lib ${CMAKE_DL_LIBS})
  string(APPEND USBREDIR_PC_DL_LIBS " -l${_lib}")
endforeach()
string(STRIP "${USBREDIR_PC_DL_LIBS}" USBREDIR_PC_DL_LIBS)
configure_file(${CMAKE_CURRENT_LIST_DIR}/usbRedirectionPlugin.pc.in
               ${PROJECT_BINARY_DIR}/usbRedirectionPlugin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/usbRedirectionPlugin.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# CMake: find_package(UsbRedirectionPlugin), relocatable (paths relative to the package).
set(_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/UsbRedirectionPlugin)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/UsbRedirectionPluginConfig.cmake.in
  ${PROJECT_BINARY_DIR}/UsbRedirectionPluginConfig.cmake
  INSTALL_DESTINATION ${_config_dir}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR USBREDIR_PLUGIN_INSTALL_PATH)
# The ABI is fixed for 64-bit hosts, so the size check of the version file stays.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/UsbRedirectionPluginConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/UsbRedirectionPluginConfig.cmake
              ${PROJECT_BINARY_DIR}/UsbRedirectionPluginConfigVersion.cmake
        DESTINATION ${_config_dir} COMPONENT Development)
