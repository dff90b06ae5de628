# Debian 12 packages of the built tree, one per install component:
#   libkolv<so>, libtrel<so>   the shared libraries (named after their SONAME)
#   libtrel-dev                headers, CMake package, pkg-config file, .so links
#   trel                       the operator tool and the schema files it applies
#   php<X.Y>-trel              the PHP extension and its settings (enabled by phpenmod)
# CPack packs what the install rules put in place, from the tree already built, so that
# packaging costs no second compile. The version and the Debian revision come from
# packaging/changelog (read before project()), which every package carries.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/packaging/changelog)

get_target_property(TREL_SOVERSION trel SOVERSION)
get_target_property(TREL_KOLV_SOVERSION kolv SOVERSION)
get_target_property(TREL_LIBRARY_BUILD_DIR trel BINARY_DIR)
get_target_property(TREL_KOLV_BUILD_DIR kolv BINARY_DIR)
set(TREL_PACKAGE_COMPONENTS kolv library dev tool)

# The changelog's trailer line names the maintainer.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog TREL_CHANGELOG_TRAILER
    REGEX "^ -- .+>  " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- (.+>)  .*$" "\\1" CPACK_PACKAGE_CONTACT "${TREL_CHANGELOG_TRAILER}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Apache-2.0; every package carries packaging/copyright, which names it.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TREL_DEBIAN_REVISION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# The install rules decide below /etc by the prefix (the extension's settings), so the
# staging goes through DESTDIR with the real prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds our own libraries in the build tree; the packages' dependencies
# on each other come from the component dependencies below, with the exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${TREL_LIBRARY_BUILD_DIR} ${TREL_KOLV_BUILD_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The library packages' shlibs files: a binary built against them needs this version or later.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/packagingstage.cmake)
set(CPACK_TREL_SOURCE_DIR ${PROJECT_SOURCE_DIR})

# The control files get Debian's modes from the build, whatever the source tree's are (a
# tree unpacked under umask 002 has its files group-writable): 0755 for the maintainer
# scripts, 0644 for the rest, both where they are configured and where CPack packs them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(TREL_CONTROL_FILE_MODE OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(TREL_CONTROL_SCRIPT_MODE ${TREL_CONTROL_FILE_MODE} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)

# The shared libraries' packages refresh the loader's cache through dpkg's trigger
# (CPack adds an ldconfig call to their maintainer scripts as well; no harm, a warning).
set(TREL_LIBRARY_CONTROL ${PROJECT_BINARY_DIR}/packaging/library)
configure_file(${PROJECT_SOURCE_DIR}/packaging/library-triggers ${TREL_LIBRARY_CONTROL}/triggers
    COPYONLY FILE_PERMISSIONS ${TREL_CONTROL_FILE_MODE})
set(CPACK_DEBIAN_KOLV_PACKAGE_NAME libkolv${TREL_KOLV_SOVERSION})
set(CPACK_DEBIAN_KOLV_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_KOLV_PACKAGE_CONTROL_EXTRA ${TREL_LIBRARY_CONTROL}/triggers)
set(CPACK_COMPONENT_KOLV_DESCRIPTION "trel's host library: logging, settings, database pools
kolv gives the trel collector the services of its host: logging streams,
the settings of an installation, the MySQL connection pool and the SQLite
registry.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libtrel${TREL_SOVERSION})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBRARY_DEPENDS kolv)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${TREL_LIBRARY_CONTROL}/triggers)
# The collector opens SQLite and MariaDB through Qt's drivers, plugins loaded at run time.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SUGGESTS "libqt6sql6-mysql")
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "diagnostics collector for PHP requests (shared library)
libtrel collects the diagnostics of a PHP request (errors with backtraces,
SQL queries, function statistics, events, superglobal samples, a time
breakdown) and stores each request whole, in one transaction, in SQLite or
MySQL/MariaDB.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtrel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS library kolv)
# The headers include Qt's, and the CMake package finds Qt: not seen by dpkg-shlibdeps.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qt6-base-dev, qt6-5compat-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "diagnostics collector for PHP requests (development files)
The headers of libtrel and kolv, the CMake package (find_package(Trel),
target Trel::trel) and the pkg-config file (trel), for hosts that embed the
collector.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME trel)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DEPENDS library kolv)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "diagnostics collector for PHP requests (operator tool)
trel creates installations (settings, templates, database on SQLite or
MySQL/MariaDB), manages access tokens and user-agent patterns, lists and
shows the stored requests, trims the database and simulates a PHP host.")

if(TREL_PHP_CONFIG)
    execute_process(COMMAND ${TREL_PHP_CONFIG} --phpapi
        OUTPUT_VARIABLE TREL_PHP_API OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${TREL_PHP_CONFIG} --version
        OUTPUT_VARIABLE TREL_PHP_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX MATCH "^[0-9]+\\.[0-9]+" TREL_PHP_MAJOR_MINOR "${TREL_PHP_VERSION}")
    list(APPEND TREL_PACKAGE_COMPONENTS php)
    set(TREL_PHP_CONTROL ${PROJECT_BINARY_DIR}/packaging/php)
    foreach(name triggers conffiles)
        configure_file(${PROJECT_SOURCE_DIR}/packaging/php-${name}.in
            ${TREL_PHP_CONTROL}/${name} @ONLY FILE_PERMISSIONS ${TREL_CONTROL_FILE_MODE})
    endforeach()
    foreach(name postinst postrm)
        configure_file(${PROJECT_SOURCE_DIR}/packaging/php-${name}.in
            ${TREL_PHP_CONTROL}/${name} @ONLY FILE_PERMISSIONS ${TREL_CONTROL_SCRIPT_MODE})
    endforeach()
    set(CPACK_DEBIAN_PHP_PACKAGE_NAME php${TREL_PHP_MAJOR_MINOR}-trel)
    set(CPACK_DEBIAN_PHP_PACKAGE_SECTION php)
    set(CPACK_COMPONENT_PHP_DEPENDS library kolv)
    # The engine's module API, and phpenmod with the helper of the maintainer scripts.
    set(CPACK_DEBIAN_PHP_PACKAGE_DEPENDS "phpapi-${TREL_PHP_API}, php-common")
    set(CPACK_DEBIAN_PHP_PACKAGE_PROVIDES "php-trel")
    set(CPACK_DEBIAN_PHP_PACKAGE_SUGGESTS "trel")
    set(CPACK_DEBIAN_PHP_PACKAGE_CONTROL_EXTRA ${TREL_PHP_CONTROL}/postinst
        ${TREL_PHP_CONTROL}/postrm ${TREL_PHP_CONTROL}/triggers ${TREL_PHP_CONTROL}/conffiles)
    set(CPACK_COMPONENT_PHP_DESCRIPTION "diagnostics collector for PHP requests (PHP ${TREL_PHP_MAJOR_MINOR} extension)
The extension trel.so hands what the engine observes during a request to
libtrel, which stores it in the installation named by trel.root (made by
`trel init`). Enabled for every SAPI on installation.")
endif()

set(CPACK_COMPONENTS_ALL ${TREL_PACKAGE_COMPONENTS})
include(CPack)
