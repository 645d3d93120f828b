# The built-in firmware. KEP_FIRMWARE may be a raw binary, Intel HEX,
# S-record or ELF32 file: a small converter, built here for the build machine
# from the image library's reader (also in the cross build), turns it into the
# flat image the programs carry, and describes it for --version and the
# Windows version resource. A file the reader refuses stops the configuration.
set(KEP_FIRMWARE ${PROJECT_SOURCE_DIR}/resources/firmware.bin CACHE FILEPATH
  "Firmware built into the programs: raw binary (written from 0x08000800), Intel HEX, S-record or ELF32")
set(KEP_FIRMWARE_VERSION "" CACHE STRING "Version of the built-in firmware, for the programs' descriptions")

set(converter_sources
  tools/kep_image_flatten.cpp
  image/image_builder.cpp
  image/image_reader.cpp
  image/image_intel_hex.cpp
  image/image_srec.cpp
  installer/text_printf.cpp
  image/image_elf32.cpp
  installer/frames.cpp)
set(converter_headers
  image/image_reader.h image/flat_image.h image/image_formats.h image/image_builder.h
  installer/firmware_image.h
  installer/frames.h installer/update_link.h installer/text_printf.h)
list(TRANSFORM converter_sources PREPEND ${PROJECT_SOURCE_DIR}/)
list(TRANSFORM converter_headers PREPEND ${PROJECT_SOURCE_DIR}/)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${converter_sources} ${converter_headers} ${KEP_FIRMWARE})

if(CMAKE_CROSSCOMPILING)
  find_program(KEP_HOST_CXX NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH REQUIRED)
else()
  set(KEP_HOST_CXX ${CMAKE_CXX_COMPILER})
endif()
set(converter ${PROJECT_BINARY_DIR}/host/kep-image-flatten)
set(stale FALSE)
foreach(source IN LISTS converter_sources converter_headers)
  if(NOT EXISTS ${converter} OR ${source} IS_NEWER_THAN ${converter})
    set(stale TRUE)
  endif()
endforeach()
if(stale)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/host)
  execute_process(
    COMMAND ${KEP_HOST_CXX} -std=c++20 -O1 -I${PROJECT_SOURCE_DIR}/installer -I${PROJECT_SOURCE_DIR}/image
      ${converter_sources}
      -o ${converter}
    RESULT_VARIABLE result ERROR_VARIABLE output OUTPUT_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Cannot build the image converter for the build machine:\n${output}")
  endif()
endif()

# Written only when its bytes change, so that a new configuration relinks nothing.
set(KEP_FIRMWARE_BIN ${PROJECT_BINARY_DIR}/firmware.flat.bin)
execute_process(
  COMMAND ${converter} ${KEP_FIRMWARE} ${KEP_FIRMWARE_BIN}.new
  RESULT_VARIABLE result OUTPUT_VARIABLE facts ERROR_VARIABLE problem
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "KEP_FIRMWARE refused: ${problem}")
endif()
file(COPY_FILE ${KEP_FIRMWARE_BIN}.new ${KEP_FIRMWARE_BIN} ONLY_IF_DIFFERENT)
file(REMOVE ${KEP_FIRMWARE_BIN}.new)

list(GET facts 0 KEP_FIRMWARE_FORMAT)
list(GET facts 2 KEP_FIRMWARE_PADDED_SIZE)
list(GET facts 3 KEP_FIRMWARE_CRC)
get_filename_component(firmware_name ${KEP_FIRMWARE} NAME)
set(KEP_FIRMWARE_DESCRIPTION
  "firmware ${firmware_name}, ${KEP_FIRMWARE_PADDED_SIZE} bytes, CRC-16 ${KEP_FIRMWARE_CRC}")
if(NOT KEP_FIRMWARE_VERSION STREQUAL "")
  string(APPEND KEP_FIRMWARE_DESCRIPTION ", version ${KEP_FIRMWARE_VERSION}")
endif()
# Its SHA-256 as --describe prints it: of the image padded with zeros to
# whole blocks. The Windows version resources name the firmware by it too.
file(COPY_FILE ${KEP_FIRMWARE_BIN} ${KEP_FIRMWARE_BIN}.padded)
execute_process(COMMAND truncate -s ${KEP_FIRMWARE_PADDED_SIZE} ${KEP_FIRMWARE_BIN}.padded
  COMMAND_ERROR_IS_FATAL ANY)
file(SHA256 ${KEP_FIRMWARE_BIN}.padded KEP_FIRMWARE_SHA256)
file(REMOVE ${KEP_FIRMWARE_BIN}.padded)
set(KEP_FIRMWARE_IDENTITY
  "${firmware_name}, ${KEP_FIRMWARE_PADDED_SIZE} bytes, CRC-16 ${KEP_FIRMWARE_CRC}, SHA-256 ${KEP_FIRMWARE_SHA256}")
if(NOT KEP_FIRMWARE_VERSION STREQUAL "")
  string(APPEND KEP_FIRMWARE_IDENTITY ", version ${KEP_FIRMWARE_VERSION}")
endif()
# A quotation mark would end the C and resource strings early.
string(REPLACE "\"" "'" KEP_FIRMWARE_DESCRIPTION "${KEP_FIRMWARE_DESCRIPTION}")
string(REPLACE "\"" "'" KEP_FIRMWARE_IDENTITY "${KEP_FIRMWARE_IDENTITY}")
message(STATUS "Built-in ${KEP_FIRMWARE_DESCRIPTION} (${KEP_FIRMWARE_FORMAT})")

# The version in its numeric form for Windows: four numbers, missing ones 0.
foreach(part MAJOR MINOR PATCH TWEAK)
  if(NOT PROJECT_VERSION_${part})
    set(KEP_VERSION_${part} 0)
  else()
    set(KEP_VERSION_${part} ${PROJECT_VERSION_${part}})
  endif()
endforeach()

set(KEP_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/resources/build_info.h.in ${KEP_GENERATED_DIR}/build_info.h)
if(WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/resources/firmware.rc.in ${KEP_GENERATED_DIR}/firmware.rc)
  # Each program says in its file properties what it is (Windows shows the
  # description as its name) and which firmware it carries.
  set(KEP_FILE_DESCRIPTION "KEP Update Tool")
  set(KEP_INTERNAL_NAME kep-update-tool)
  configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in ${KEP_GENERATED_DIR}/version-dialog.rc)
  set(KEP_FILE_DESCRIPTION "KEP Update Tool command line")
  set(KEP_INTERNAL_NAME kep-update)
  configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in
    ${KEP_GENERATED_DIR}/version-command-line.rc)
endif()
