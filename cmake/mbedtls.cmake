# Mbed TLS, built here as a static library from Debian's source package with the agent's own
# configuration (cmake/mbedtls-config.h) and the same compiler and flags as everything else, so
# the native, sanitizer, fuzz and cross builds each get a matching copy.
#
# The sources live outside the repository: MBEDTLS_SOURCE_DIR names the unpacked package; when
# it is not given, scripts/fetch-mbedtls.sh fetches it once into its cache and names it.
set(MBEDTLS_SOURCE_DIR "" CACHE PATH "Unpacked Mbed TLS 2.28 sources (empty: fetch them)")

if(NOT MBEDTLS_SOURCE_DIR)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-mbedtls.sh
                  OUTPUT_VARIABLE fetched OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0 OR NOT fetched)
    message(FATAL_ERROR "Mbed TLS sources could not be fetched; set MBEDTLS_SOURCE_DIR")
  endif()
  set(MBEDTLS_SOURCE_DIR "${fetched}" CACHE PATH
      "Unpacked Mbed TLS 2.28 sources (empty: fetch them)" FORCE)
endif()
if(NOT EXISTS "${MBEDTLS_SOURCE_DIR}/include/mbedtls/version.h")
  message(FATAL_ERROR "No Mbed TLS sources in ${MBEDTLS_SOURCE_DIR}")
endif()
file(STRINGS "${MBEDTLS_SOURCE_DIR}/include/mbedtls/version.h" mbedtls_version_line
     REGEX "^#define MBEDTLS_VERSION_STRING +\"")
if(NOT mbedtls_version_line MATCHES "\"2\\.28\\.")
  message(FATAL_ERROR "Mbed TLS 2.28 expected in ${MBEDTLS_SOURCE_DIR}")
endif()

enable_language(C)
# Every module is compiled; those the configuration leaves out compile to nothing, and the
# linker keeps only what the agent reaches.
file(GLOB MBEDTLS_LIBRARY_SOURCES "${MBEDTLS_SOURCE_DIR}/library/*.c")
add_library(usage-agent-mbedtls STATIC ${MBEDTLS_LIBRARY_SOURCES})
target_include_directories(usage-agent-mbedtls SYSTEM PUBLIC "${MBEDTLS_SOURCE_DIR}/include")
target_include_directories(usage-agent-mbedtls PRIVATE "${MBEDTLS_SOURCE_DIR}/library")
target_compile_definitions(usage-agent-mbedtls PUBLIC
                           "MBEDTLS_CONFIG_FILE=\"${PROJECT_SOURCE_DIR}/cmake/mbedtls-config.h\"")
set_target_properties(usage-agent-mbedtls PROPERTIES C_STANDARD 99 C_VISIBILITY_PRESET hidden)
# Third-party code: its warnings are not the agent's to fix.
target_compile_options(usage-agent-mbedtls PRIVATE -w)
