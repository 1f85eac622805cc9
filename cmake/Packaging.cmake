# CPack: Debian packages from the install components (scripts/package.sh builds them).
#   libusbredirectionplugin      the plug-in (Runtime); its library dependencies, ICU's
#                                among them, come from dpkg-shlibdeps
#   libusbredirectionplugin-dev  header, pkg-config file, CMake package (Development);
#                                depends on the plug-in of the same version
# The packages install under CMAKE_INSTALL_PREFIX, where the pkg-config file and the CMake
# package say the files are: configure with -DCMAKE_INSTALL_PREFIX=/usr for a system package.
set(USBREDIR_PACKAGE_MAINTAINER "usbRedirectionPlugin developers <usbredir@localhost>"
    CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME usbRedirectionPlugin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_USBREDIR_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackProjectConfig.cmake)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${USBREDIR_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)  # -dev: Depends on the plug-in (= version)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libusbredirectionplugin)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_DEBUGINFO_PACKAGE ON)  # stripped; the debug symbols go to -dbgsym
# Each description's first line is the package's summary.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "USB redirection plug-in of the virtual USB hub daemon
libusbRedirectionPlugin.so is loaded by the virtual USB hub daemon. It carries USB
traffic between remote desktop clients and the desktop session over the agent's
channel service, keeps one server per desktop session, logs into rolling per-process
files and reads its settings from preference files.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libusbredirectionplugin-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "USB redirection plug-in: files for host authors
usbRedirectionPlugin.h declares the plug-in's eight entry points and the host's callback
table. A host loads the plug-in with dlopen; the pkg-config file (usbRedirectionPlugin)
and the CMake package (find_package(UsbRedirectionPlugin), target
UsbRedirectionPlugin::Header) give the header's folder and the plug-in's path.")

# `package_source`: the source tree without build folders and git data (a tarball builds
# with build number 0 unless USBREDIR_BUILD_NUMBER is given).
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/\\\\.git$" "/build/" "/build-[^/]*/" "/\\\\.cache/")

include(CPack)
