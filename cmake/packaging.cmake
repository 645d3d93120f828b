# Install rules and the two packages `--target package` makes: a Debian
# package of the Linux programs, and a zip of the Windows programs.
# Sanitized and fuzzing builds are for tests only and never installed.
if(KEP_SANITIZE OR KEP_FUZZ)
  return()
endif()

set(CPACK_PACKAGE_NAME kep-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ${KEP_COMPANY})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "writes firmware into a KEP target over a serial port")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS kep-update-tool kep-update RUNTIME DESTINATION .)
  # Notepad and Explorer users get .txt files with Windows line ends, and a
  # README written for Windows.
  configure_file(${PROJECT_SOURCE_DIR}/docs/README-windows.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
    DESTINATION .)
  # The zip is made by cmake/windows-zip.cmake rather than CPack, whose zip
  # holds the build's own time stamps: this one is the same for every build
  # of a commit, and signs the programs when a certificate is given. CMake
  # keeps the name "package" for CPack while a build folder has its files.
  file(REMOVE ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
  add_custom_target(package
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DSTAGE=${CMAKE_BINARY_DIR}/kep-update-tool-${PROJECT_VERSION}-win64
      -DDIALOG=$<TARGET_FILE:kep-update-tool> -DCONSOLE=$<TARGET_FILE:kep-update>
      -DREADME=${CMAKE_CURRENT_BINARY_DIR}/README.txt -DLICENSE=${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
      -DSTRIP=${CMAKE_STRIP} -P ${PROJECT_SOURCE_DIR}/cmake/windows-zip.cmake
    DEPENDS kep-update-tool kep-update VERBATIM)
  return()
endif()

include(GNUInstallDirs)
set(KEP_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kep-update)
install(TARGETS kep-update kep-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian wants the licence as doc/<package>/copyright and, for a package
# without a Debian revision, a changelog.gz in Debian's own format: one entry
# for this version, dated as in CHANGELOG.md, which holds the list itself.
set(KEP_PACKAGE_FILES ${CMAKE_CURRENT_BINARY_DIR}/package-files)
set(KEP_PACKAGE_MAINTAINER "The KEP Update Tool developers <kep-update@example.org>"
  CACHE STRING "Maintainer of the Debian package")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
string(REPLACE "." "[.]" version_pattern ${PROJECT_VERSION})
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md release_line
  REGEX "^## \\[${version_pattern}\\] - [0-9]+-[0-9]+-[0-9]+$")
if(NOT release_line)
  message(FATAL_ERROR "CHANGELOG.md has no \"## [${PROJECT_VERSION}] - YYYY-MM-DD\" section")
endif()
string(REGEX REPLACE ".* - " "" release_date "${release_line}")
execute_process(COMMAND env LC_ALL=C date -u -R -d "${release_date} 12:00"
  OUTPUT_VARIABLE release_date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
file(CONFIGURE OUTPUT ${KEP_PACKAGE_FILES}/changelog CONTENT
"kep-update (${PROJECT_VERSION}) stable; urgency=medium

  * Release ${PROJECT_VERSION}; its changes are listed in CHANGELOG.md.

 -- ${KEP_PACKAGE_MAINTAINER}  ${release_date}
")
# -n keeps time stamps out of the gzip bytes.
add_custom_command(OUTPUT ${KEP_PACKAGE_FILES}/changelog.gz
  COMMAND gzip -9nc ${KEP_PACKAGE_FILES}/changelog > ${KEP_PACKAGE_FILES}/changelog.gz
  DEPENDS ${KEP_PACKAGE_FILES}/changelog VERBATIM)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  ${KEP_PACKAGE_FILES}/changelog.gz DESTINATION ${KEP_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${KEP_DOC_DIR} RENAME copyright)

# Man pages from the programs' own --help and --version, so that they never
# disagree with the programs. help2man runs the programs: native builds only.
find_program(HELP2MAN help2man)
set(KEP_MAN_PAGES)
foreach(program kep-update kep-sim)
  if(program STREQUAL kep-update)
    set(whatis "write a firmware image into KEP targets over serial ports")
  else()
    set(whatis "a simulated KEP target on a pseudo-terminal")
  endif()
  set(page ${KEP_PACKAGE_FILES}/${program}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KEP_PACKAGE_FILES}
    COMMAND ${HELP2MAN} --no-info --section 1 --name ${whatis} --output ${page}
      $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} VERBATIM)
  list(APPEND KEP_MAN_PAGES ${page}.gz)
endforeach()
if(HELP2MAN)
  add_custom_target(package-files ALL DEPENDS ${KEP_MAN_PAGES} ${KEP_PACKAGE_FILES}/changelog.gz)
  install(FILES ${KEP_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  add_custom_target(package-files ALL DEPENDS ${KEP_PACKAGE_FILES}/changelog.gz)
  install(CODE "message(FATAL_ERROR \"help2man is missing, so there are no man pages: \
scripts/install-deps --packages installs it, then build again\")")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KEP_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (dpkg-dev) works out the library packages the programs need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# --database needs the ODBC driver of the line's server; PostgreSQL's is the usual one.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql")
set(CPACK_PACKAGE_DESCRIPTION
  "kep-update writes a firmware image into a KEP target over a serial port:\n\
it contacts the target, writes the image block by block, has the target\n\
check the written range by CRC and resets it. Several targets can be\n\
updated at once. kep-sim is a simulated KEP target on a pseudo-terminal,\n\
for trying the tool and for tests.")
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
