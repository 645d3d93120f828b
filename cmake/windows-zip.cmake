# Makes the Windows zip (cmake -P, run by the package target): the two
# programs, stripped and then signed when a certificate is given, with
# README.txt and LICENSE.txt in one folder. Every time stamp is the commit's
# and the files go in a fixed order with fixed modes, so two builds of one
# commit, in any folders at any time, give the same bytes.
# In: SOURCE_DIR, STAGE (the folder; the zip is STAGE.zip), DIALOG, CONSOLE,
# README, LICENSE, STRIP. Signing: KEP_SIGN_PKCS12 and KEP_SIGN_PASSWORD from
# the environment, KEP_SIGN_TIMESTAMP_URL optional.

# SOURCE_DATE_EPOCH as given, else the commit's time, else the release date.
set(epoch $ENV{SOURCE_DATE_EPOCH})
if("${epoch}" STREQUAL "")
  execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT "${epoch}" MATCHES "^[0-9]+$")
  file(STRINGS ${SOURCE_DIR}/CHANGELOG.md release REGEX "^## \\[[0-9.]+\\] - " LIMIT_COUNT 1)
  string(REGEX REPLACE ".* - " "" release "${release}")
  execute_process(COMMAND date -u -d "${release} 12:00" +%s
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()

get_filename_component(folder ${STAGE} NAME)
get_filename_component(parent ${STAGE} DIRECTORY)
file(REMOVE_RECURSE ${STAGE} ${STAGE}.zip)
file(MAKE_DIRECTORY ${STAGE})
file(COPY_FILE ${DIALOG} ${STAGE}/kep-update-tool.exe)
file(COPY_FILE ${CONSOLE} ${STAGE}/kep-update.exe)
file(COPY_FILE ${README} ${STAGE}/README.txt)
file(COPY_FILE ${LICENSE} ${STAGE}/LICENSE.txt)
set(programs ${STAGE}/kep-update-tool.exe ${STAGE}/kep-update.exe)
# strip writes a PE time stamp of its own: the commit's, through this variable.
execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch} ${STRIP} ${programs}
  COMMAND_ERROR_IS_FATAL ANY)

if(NOT "$ENV{KEP_SIGN_PKCS12}" STREQUAL "")
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  # The password reaches the signer in a file only its owner reads, never on
  # a command line that others can list.
  set(password ${parent}/sign.password)
  file(TOUCH ${password})
  file(CHMOD ${password} PERMISSIONS OWNER_READ OWNER_WRITE)
  file(WRITE ${password} "$ENV{KEP_SIGN_PASSWORD}")
  # A time-stamp server keeps the signature valid after the certificate
  # expires; without one the signing time is the commit's, so the signed
  # files are reproducible too.
  set(timestamp -time ${epoch})
  if(NOT "$ENV{KEP_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(timestamp -ts $ENV{KEP_SIGN_TIMESTAMP_URL})
  endif()
  foreach(program IN LISTS programs)
    execute_process(COMMAND ${OSSLSIGNCODE} sign -pkcs12 $ENV{KEP_SIGN_PKCS12} -readpass ${password}
        -h sha256 -n "KEP Update Tool" ${timestamp} -in ${program} -out ${program}.signed
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
      file(REMOVE ${password} ${program}.signed)
      message(FATAL_ERROR "Signing ${program} failed:\n${output}")
    endif()
    file(RENAME ${program}.signed ${program})
  endforeach()
  file(REMOVE ${password})
  message(STATUS "Signed kep-update-tool.exe and kep-update.exe")
endif()

set(names kep-update-tool.exe kep-update.exe README.txt LICENSE.txt)
file(CHMOD ${programs} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
file(CHMOD ${STAGE}/README.txt ${STAGE}/LICENSE.txt PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
  WORLD_READ)
list(TRANSFORM names PREPEND ${folder}/)
execute_process(COMMAND touch -d @${epoch} ${STAGE} ${programs} ${STAGE}/README.txt ${STAGE}/LICENSE.txt
  COMMAND_ERROR_IS_FATAL ANY)
# -X: no owner or extra time fields; the DOS time stamps read in UTC.
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC zip -X -q ${STAGE}.zip ${folder} ${names}
  WORKING_DIRECTORY ${parent} COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Made ${STAGE}.zip")
