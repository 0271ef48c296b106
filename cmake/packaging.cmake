# What `cmake --install` puts beside the two programs (manual pages, README,
# example settings) and the Debian package built from the same install
# (cpack -G DEB, see packaging/build-debs.sh). The example settings go under
# the documentation, never into /etc: those files belong to the device's
# other services.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(doc_dir share/doc/callctld)

# The changelog's latest entry names the project's version.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^callctld \\(${PROJECT_VERSION}\\)")
  message(FATAL_ERROR "packaging/changelog: the latest entry is not version ${PROJECT_VERSION}: ${latest}")
endif()

# Manual pages, the changelog and the README, compressed as Debian keeps them.
set(compressed)
foreach(src man/callctld.8 man/callctl.1 packaging/changelog README.md)
  get_filename_component(name ${src} NAME)
  set(out ${CMAKE_BINARY_DIR}/compressed/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/compressed
    COMMAND ${GZIP_EXECUTABLE} -9nc ${CMAKE_SOURCE_DIR}/${src} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/${src} VERBATIM)
  list(APPEND compressed ${out})
endforeach()
add_custom_target(callctld_docs ALL DEPENDS ${compressed})

install(FILES ${CMAKE_BINARY_DIR}/compressed/callctld.8.gz DESTINATION share/man/man8)
install(FILES ${CMAKE_BINARY_DIR}/compressed/callctl.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_BINARY_DIR}/compressed/changelog.gz ${CMAKE_BINARY_DIR}/compressed/README.md.gz
        packaging/copyright DESTINATION ${doc_dir})
install(FILES packaging/callctl.bash-completion DESTINATION share/bash-completion/completions RENAME callctl)
install(FILES packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME callctld)
install(FILES sandbox/conf/speaker.conf sandbox/conf/volctrl.conf sandbox/conf/schedule.conf
        DESTINATION ${doc_dir}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME callctld)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Who answers for the package; set it for a release (-DCALLCTLD_MAINTAINER=...).
set(CALLCTLD_MAINTAINER "callctld maintainers <callctld@example.org>" CACHE STRING "Package maintainer")
set(CPACK_PACKAGE_CONTACT "${CALLCTLD_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The unit callctld-redis.service runs the device's bus with Debian's
# redis-server program (its own instance, beside Debian's redis-server.service).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "redis-server")
# The first line is the synopsis; CPack indents the rest and marks the
# empty line as a paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "call control of a networked SIP intercom speaker
callctld follows the SIP user agent's call and registration events on the
device's Redis bus and drives the call-state relay, the screen and the AI
module line, the key beep, the spoken IP address, HTTP action requests, the
call-detail file and the operation log.

callctl checks the settings before they are used and tells whether the
running daemon is healthy.")
# The cross build names its architecture (dpkg would give the build machine's).
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$"
   AND CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
include(CPack)
