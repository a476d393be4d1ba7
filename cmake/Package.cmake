# Installation layout and the Debian package ("cmake --build build/default --target package").
#
#   /usr/sbin/VNPPSvc                        the service executable
#   /usr/bin/vnppctl                         the control tool, when it is built
#   /lib/systemd/system/VNPostProcessor.service
#   /usr/share/dbus-1/system.d/*.conf        D-Bus policy, when etc/dbus holds one
#   /usr/share/dbus-1/system-services/*      D-Bus activation, when etc/dbus holds one
#   /etc/vnppsvc/VNPostProc.VFG              documented sample configuration (a conffile)
#   /var/lib/vnppsvc/LogFiles                the home (VNPPSVC_HOME in the unit) and its log
#   /usr/share/vnppsvc/sql                   table definitions
#   /usr/share/dbus-1/interfaces/VNPPSvc.IVNPostProcCom.xml   the interface description
#   /usr/share/bash-completion/completions/vnppctl   completion of vnppctl's commands and groups
#   /usr/share/man/man8/VNPPSvc.8.gz, /usr/share/man/man1/vnppctl.1.gz
#   /usr/share/doc/vnppsvc/README.md, copyright, changelog.gz
#   /usr/share/vnppsvc/prometheus/vnppsvc-rules.yml   alert rules for Prometheus
#   /usr/share/vnppsvc/grafana/vnppsvc-dashboard.json Grafana dashboard of the metrics

set(VNPP_PACKAGE_HOME /var/lib/vnppsvc)

# The packaged unit: the template that "-install" fills in at run time, filled in here for
# the packaged paths. The values are written as UnitFileText() writes them, which a host test
# compares.
set(VNPP_EXEC_START "\"/usr/sbin/VNPPSvc\"")
set(VNPP_HOME_ENVIRONMENT "\"VNPPSVC_HOME=${VNPP_PACKAGE_HOME}\"")
set(VNPP_CONFIG_FILE "${VNPP_PACKAGE_HOME}/VNPostProc.VFG")
set(VNPP_READ_WRITE_PATHS "\"${VNPP_PACKAGE_HOME}\" /run/lock")
set(VNPP_PROTECT_HOME yes)
# The package's own system account (created by postinst) owns the home.
set(VNPP_ACCOUNT "User=vnppsvc\nCapabilityBoundingSet=\nAmbientCapabilities=\nPrivateUsers=yes\nRemoveIPC=yes")
set(VNPP_PACKAGED_UNIT ${CMAKE_BINARY_DIR}/package/VNPostProcessor.service)
configure_file(${CMAKE_SOURCE_DIR}/etc/VNPostProcessor.service.in ${VNPP_PACKAGED_UNIT} @ONLY)

install(TARGETS VNPPSvc RUNTIME DESTINATION sbin)
if(TARGET vnppctl)
  install(TARGETS vnppctl RUNTIME DESTINATION bin)
  install(FILES ${CMAKE_SOURCE_DIR}/etc/bash-completion/vnppctl
          DESTINATION share/bash-completion/completions)
endif()
install(FILES ${VNPP_PACKAGED_UNIT} DESTINATION /lib/systemd/system)
file(GLOB _dbus_policy ${CMAKE_SOURCE_DIR}/etc/dbus/*.conf)
file(GLOB _dbus_services ${CMAKE_SOURCE_DIR}/etc/dbus/*.service)
if(_dbus_policy)
  install(FILES ${_dbus_policy} DESTINATION share/dbus-1/system.d)
endif()
if(_dbus_services)
  install(FILES ${_dbus_services} DESTINATION share/dbus-1/system-services)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/etc/VNPostProc.VFG DESTINATION /etc/vnppsvc)
install(DIRECTORY DESTINATION ${VNPP_PACKAGE_HOME}/LogFiles)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/sql/ DESTINATION share/vnppsvc/sql)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION share/doc/vnppsvc)
install(FILES ${CMAKE_SOURCE_DIR}/src/automation/VNPPSvc.IVNPostProcCom.xml
        DESTINATION share/dbus-1/interfaces)
# Operators' monitoring of the metrics endpoint (MetricsAddress).
install(FILES ${CMAKE_SOURCE_DIR}/etc/prometheus/vnppsvc-rules.yml
        DESTINATION share/vnppsvc/prometheus)
install(FILES ${CMAKE_SOURCE_DIR}/etc/grafana/vnppsvc-dashboard.json DESTINATION share/vnppsvc/grafana)

# Manual pages and the Debian changelog, compressed as Debian wants them (gzip -9n: no name
# and time stamp, so the package is reproducible).
set(_gzipped)
foreach(pair "docs/man/VNPPSvc.8;man/VNPPSvc.8.gz" "docs/man/vnppctl.1;man/vnppctl.1.gz"
             "packaging/debian/changelog;changelog.gz")
  list(GET pair 0 _from)
  list(GET pair 1 _to)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/package/${_to}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package/man
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/${_from} > ${CMAKE_BINARY_DIR}/package/${_to}
    DEPENDS ${CMAKE_SOURCE_DIR}/${_from}
    VERBATIM)
  list(APPEND _gzipped ${CMAKE_BINARY_DIR}/package/${_to})
endforeach()
add_custom_target(package_docs ALL DEPENDS ${_gzipped})
install(FILES ${CMAKE_BINARY_DIR}/package/man/VNPPSvc.8.gz DESTINATION share/man/man8)
install(FILES ${CMAKE_BINARY_DIR}/package/man/vnppctl.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION share/doc/vnppsvc)

set(VNPP_PACKAGE_MAINTAINER "VNPPSvc maintainers <vnppsvc@example.com>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vnppsvc)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "post-processing service for station readings")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "VNPPSvc reads the readings of hydro-meteorological stations in the SQL table\n\
VN_DATA1 through ODBC, computes one function per station/sensor entry and data\n\
window on its own schedule, and writes the results into VN_PPDATA1. It runs as\n\
the systemd service VNPostProcessor.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VNPP_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The linked libraries (unixODBC, libsystemd, ...) come from dpkg-shlibdeps; the ODBC drivers
# are loaded at run time, so they are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libsqliteodbc, odbc-postgresql")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "unixodbc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
