# The machine side as Debian packages, made with `cpack -G DEB` in the build folder (or the
# package target):
#   kavex-update   what a machine runs: kavex-update, its polkit action, kavex-bundle and
#                  the manual pages of kavex-update, kavex-bundle and Update
#   kavex-bundle   what `kavex-bundle new` copies into a bundle: Update.app and the pages
# The trusted keys folder belongs to the administrator: no package ships or removes it.

# The polkit action, its texts taken from the wizard's string table at build time.
add_executable(PolkitPolicy tools/PolkitPolicy/PolkitPolicy.cpp)
target_link_libraries(PolkitPolicy PRIVATE LibXml2::LibXml2)
target_include_directories(PolkitPolicy PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/source/platform)
set_target_properties(PolkitPolicy PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
set(KAVEX_POLICY ${CMAKE_BINARY_DIR}/packaging/com.kavex.update.policy)
set(KAVEX_POLICY_TEMPLATE ${CMAKE_CURRENT_SOURCE_DIR}/packaging/com.kavex.update.policy.in)
add_custom_command(OUTPUT ${KAVEX_POLICY}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND PolkitPolicy ${KAVEX_POLICY_TEMPLATE} ${CMAKE_CURRENT_SOURCE_DIR}/resources/main.xml ${KAVEX_POLICY}
          KAVEX_UPDATE_PROGRAM=/${KAVEX_LIBEXEC_DIR}/kavex-update
  DEPENDS PolkitPolicy ${KAVEX_POLICY_TEMPLATE} ${CMAKE_CURRENT_SOURCE_DIR}/resources/main.xml
  COMMENT "Writing the polkit action com.kavex.update")
add_custom_target(kavex-policy ALL DEPENDS ${KAVEX_POLICY})

# The machine's own programs bind every symbol at their start and keep their relocations
# read-only (root runs kavex-update). The bundle's program keeps lazy binding: its start is
# measured against a bare process, and it loads the wizard's libraries only for a window.
foreach(shipped kavex-update kavex-bundle)
  target_link_options(${shipped} PRIVATE LINKER:-z,relro,-z,now)
endforeach()

find_program(HELP2MAN help2man)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(DPKG_PARSECHANGELOG dpkg-parsechangelog)
if(NOT HELP2MAN OR NOT DPKG_SHLIBDEPS OR NOT DPKG_PARSECHANGELOG)
  message(STATUS "No Debian packages: help2man and dpkg-dev are needed (scripts/deps.sh installs them)")
  return()
endif()
set(KAVEX_PACKAGING ON)

set(KAVEX_CHANGELOG ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog)
execute_process(COMMAND ${DPKG_PARSECHANGELOG} -l ${KAVEX_CHANGELOG} -S Version
  OUTPUT_VARIABLE KAVEX_CHANGELOG_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${DPKG_PARSECHANGELOG} -l ${KAVEX_CHANGELOG} -S Timestamp
  OUTPUT_VARIABLE KAVEX_CHANGELOG_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT KAVEX_CHANGELOG_VERSION STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog ends at ${KAVEX_CHANGELOG_VERSION}; the program is ${PROJECT_VERSION}: add its entry")
endif()
set(KAVEX_PACKAGE_MAINTAINER "Kavex Update maintainers <maintainers@users.noreply.c-seed-97640ba9.example>"
  CACHE STRING "The Maintainer field of the packages")

# Each package's documentation folder: its copyright and the changelog, compressed as Debian wants.
set(KAVEX_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${KAVEX_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9n -c ${KAVEX_CHANGELOG} > ${KAVEX_CHANGELOG_GZ}
  DEPENDS ${KAVEX_CHANGELOG})
add_custom_target(kavex-changelog ALL DEPENDS ${KAVEX_CHANGELOG_GZ})

# The manual pages come from the programs' own --help and --version when a package is made
# (the install step), not in every build. kavex-update is a system command (section 8, as
# for a program in /usr/libexec); kavex-bundle and Update are user commands (section 1).
set(KAVEX_MAN_DIR ${CMAKE_BINARY_DIR}/packaging/man)
set(KAVEX_MAN_PAGES)
function(kavex_man_page target name section summary)
  set(page ${KAVEX_MAN_DIR}/${name}.${section}.gz)
  install(CODE "file(MAKE_DIRECTORY ${KAVEX_MAN_DIR})
    execute_process(COMMAND \${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DNAME=${name} -DSECTION=${section}
        \"-DSUMMARY=${summary}\" -DVERSION=${PROJECT_VERSION} -DOUTPUT=${page} -DHELP2MAN=${HELP2MAN}
        -DDATE_EPOCH=${KAVEX_CHANGELOG_EPOCH} -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging/ManPage.cmake
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"The manual page of ${name} cannot be made\")
    endif()" COMPONENT machine EXCLUDE_FROM_ALL)
  install(FILES ${page} DESTINATION usr/share/man/man${section} COMPONENT machine EXCLUDE_FROM_ALL)
endfunction()
kavex_man_page(kavex-update kavex-update 8 "run a patch bundle as root from a verified copy")
kavex_man_page(kavex-bundle kavex-bundle 1 "make, check, sign and verify a patch bundle")
kavex_man_page(Update Update 1 "install the patches of the bundle beside it")

# The machine package.
install(TARGETS kavex-update DESTINATION ${KAVEX_LIBEXEC_DIR} COMPONENT machine EXCLUDE_FROM_ALL)
install(TARGETS kavex-bundle DESTINATION ${KAVEX_BIN_DIR} COMPONENT machine EXCLUDE_FROM_ALL)
install(FILES ${KAVEX_POLICY} DESTINATION usr/share/polkit-1/actions COMPONENT machine EXCLUDE_FROM_ALL)
install(FILES packaging/copyright ${KAVEX_CHANGELOG_GZ} DESTINATION usr/share/doc/kavex-update
  COMPONENT machine EXCLUDE_FROM_ALL)

# The product teams' package. Programs and libraries are architecture-specific, so the
# bundle's program lives under /usr/lib, its pages under /usr/share.
# Each file by its target, so that the packaged programs and libraries are stripped.
set(KAVEX_BUNDLE_CONTENTS ${KAVEX_BUNDLE_PROGRAM_DIR}/Update.app/Contents)
install(TARGETS Update DESTINATION ${KAVEX_BUNDLE_CONTENTS}/MacOS COMPONENT bundle EXCLUDE_FROM_ALL)
install(TARGETS updatecore LIBRARY DESTINATION ${KAVEX_BUNDLE_CONTENTS}/Frameworks COMPONENT bundle EXCLUDE_FROM_ALL)
install(TARGETS InstallerResults LIBRARY DESTINATION ${KAVEX_BUNDLE_CONTENTS}/Frameworks/InstallerResults.framework/Versions/A
  COMPONENT bundle EXCLUDE_FROM_ALL)
install(TARGETS UpdateWizard ConflictPatterns LIBRARY DESTINATION ${KAVEX_BUNDLE_CONTENTS}/PlugIns
  COMPONENT bundle EXCLUDE_FROM_ALL)
install(FILES resources/onFrameLoad.js DESTINATION ${KAVEX_BUNDLE_CONTENTS}/SharedSupport COMPONENT bundle EXCLUDE_FROM_ALL)
install(FILES resources/Update.svg DESTINATION ${KAVEX_BUNDLE_CONTENTS}/Resources COMPONENT bundle EXCLUDE_FROM_ALL)
install(FILES resources/main.html resources/main.css resources/main.js resources/main.xml
  DESTINATION ${KAVEX_BUNDLE_PAGES_DIR} COMPONENT bundle EXCLUDE_FROM_ALL)
install(FILES packaging/copyright ${KAVEX_CHANGELOG_GZ} DESTINATION usr/share/doc/kavex-bundle
  COMPONENT bundle EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME kavex-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KAVEX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL machine bundle)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENT_BUNDLE_DEPENDS machine)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KAVEX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE kavex-update)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${KAVEX_BUNDLE_PROGRAM_DIR}/Update.app/Contents/Frameworks)

set(CPACK_DEBIAN_MACHINE_PACKAGE_NAME kavex-update)
set(CPACK_DEBIAN_MACHINE_PACKAGE_SECTION admin)
# SHA-256 comes from OpenSSL when it can be loaded (much faster), else from libsodium.
set(CPACK_DEBIAN_MACHINE_PACKAGE_RECOMMENDS "pkexec, libssl3")
set(CPACK_DEBIAN_BUNDLE_PACKAGE_RECOMMENDS libssl3)
set(CPACK_DEBIAN_MACHINE_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_MACHINE_DESCRIPTION "runs patch bundles as root only from a verified copy
kavex-update copies a patch bundle of Update.app into a folder that only root
can write, verifies the copy against the machine's trusted keys and runs the
installer of the copy, so that nothing a user can change reaches root. Its
polkit action com.kavex.update lets an administrator allow it alone. The
package also holds kavex-bundle, which makes, checks, signs and verifies
bundles, and the manual pages of kavex-update, kavex-bundle and Update.")

set(CPACK_DEBIAN_BUNDLE_PACKAGE_NAME kavex-bundle)
set(CPACK_DEBIAN_BUNDLE_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_BUNDLE_DESCRIPTION "program and pages that new patch bundles carry
Product teams make patch bundles with kavex-bundle; \"kavex-bundle new\" copies
the installer Update.app and the wizard's pages from this package into the new
bundle, so that no build tree is needed.")

include(CPack)
