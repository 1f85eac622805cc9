# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE): binary packages install
# under the configured prefix; a source package keeps the source tree's own layout.
if(NOT CPACK_GENERATOR MATCHES "^(TGZ|TBZ2|TXZ|TZ|ZIP|7Z)$")
  set(CPACK_PACKAGING_INSTALL_PREFIX "${CPACK_USBREDIR_INSTALL_PREFIX}")
endif()
