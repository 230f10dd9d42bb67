# Authenticode signing with the maker's code-signing certificate, by Debian's
# osslsigncode, SHA-256. Given a certificate, the build signs every program the
# installer carries before it is packed, then Quil.exe once it is linked;
# without one, nothing here runs and the build is unchanged.
#
# Either a PKCS#12 file (QUIL_SIGN_PKCS12), or a private key with its
# certificate (QUIL_SIGN_KEY and QUIL_SIGN_CERT, PEM or DER; the certificate
# file may carry the chain up to the root). The password of either sits in a
# file of its own (QUIL_SIGN_PASSWORD_FILE), never on a command line. With
# QUIL_SIGN_TIMESTAMP_URL an RFC 3161 server countersigns the time, so that
# the signature outlives the certificate. QUIL_SIGN_TIME fixes the signing
# time that the signature records (by default SOURCE_DATE_EPOCH, else the
# moment of signing), so that signed builds without a time stamp are the same
# bytes too.
set(QUIL_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file with the code-signing key and certificate")
set(QUIL_SIGN_KEY "" CACHE FILEPATH "code-signing private key (with QUIL_SIGN_CERT)")
set(QUIL_SIGN_CERT "" CACHE FILEPATH "code-signing certificate and its chain (with QUIL_SIGN_KEY)")
set(QUIL_SIGN_PASSWORD_FILE "" CACHE FILEPATH "file holding the password of the PKCS#12 file or key")
set(QUIL_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping server (optional)")
set(QUIL_SIGN_TIME "$ENV{SOURCE_DATE_EPOCH}" CACHE STRING
    "signing time in seconds since 1970 (optional; empty: the moment of signing)")

# QUIL_SIGN: the signing command up to its input and output, empty when the
# build does not sign; QUIL_SIGN_INPUTS: the files it reads.
set(QUIL_SIGN)
set(QUIL_SIGN_INPUTS)
if(QUIL_SIGN_PKCS12 OR QUIL_SIGN_KEY OR QUIL_SIGN_CERT)
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "signing needs osslsigncode (scripts/setup.sh installs it)")
  endif()
  if(QUIL_SIGN_PKCS12 AND NOT QUIL_SIGN_KEY AND NOT QUIL_SIGN_CERT)
    set(QUIL_SIGN ${OSSLSIGNCODE} sign -pkcs12 ${QUIL_SIGN_PKCS12})
    set(QUIL_SIGN_INPUTS ${QUIL_SIGN_PKCS12})
  elseif(QUIL_SIGN_KEY AND QUIL_SIGN_CERT AND NOT QUIL_SIGN_PKCS12)
    set(QUIL_SIGN ${OSSLSIGNCODE} sign -certs ${QUIL_SIGN_CERT} -key ${QUIL_SIGN_KEY})
    set(QUIL_SIGN_INPUTS ${QUIL_SIGN_CERT} ${QUIL_SIGN_KEY})
  else()
    message(FATAL_ERROR "to sign, give QUIL_SIGN_PKCS12, or QUIL_SIGN_KEY with QUIL_SIGN_CERT")
  endif()
  if(QUIL_SIGN_PASSWORD_FILE)
    list(APPEND QUIL_SIGN -readpass ${QUIL_SIGN_PASSWORD_FILE})
    list(APPEND QUIL_SIGN_INPUTS ${QUIL_SIGN_PASSWORD_FILE})
  endif()
  foreach(input IN LISTS QUIL_SIGN_INPUTS)
    if(NOT EXISTS "${input}")
      message(FATAL_ERROR "signing: no file ${input}")
    endif()
  endforeach()
  list(APPEND QUIL_SIGN -h sha256 -n "Quillmark 2003")
  if(QUIL_SIGN_TIMESTAMP_URL)
    list(APPEND QUIL_SIGN -ts ${QUIL_SIGN_TIMESTAMP_URL})
  endif()
  if(NOT QUIL_SIGN_TIME STREQUAL "")
    if(NOT QUIL_SIGN_TIME MATCHES "^[0-9]+$")
      message(FATAL_ERROR "QUIL_SIGN_TIME is seconds since 1970, not '${QUIL_SIGN_TIME}'")
    endif()
    list(APPEND QUIL_SIGN -time ${QUIL_SIGN_TIME})
  endif()
  message(STATUS "Signing the carried programs and Quil.exe with osslsigncode")
endif()

# quil_stage_program(TARGET OUTPUT): the program's file staged at OUTPUT for
# packing; signed on the way when the build signs.
function(quil_stage_program target output)
  if(QUIL_SIGN)
    get_filename_component(folder ${output} DIRECTORY)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
      COMMAND ${CMAKE_COMMAND} -E rm -f ${output}
      COMMAND ${QUIL_SIGN} -in $<TARGET_FILE:${target}> -out ${output}
      DEPENDS ${target} ${QUIL_SIGN_INPUTS}
      VERBATIM)
  else()
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${output}
      DEPENDS ${target})
  endif()
endfunction()

# quil_sign_after_link(TARGET): signs the target's file in place once it is
# linked, when the build signs.
function(quil_sign_after_link target)
  if(QUIL_SIGN)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E rm -f $<TARGET_FILE_NAME:${target}>.signed
      COMMAND ${QUIL_SIGN} -in $<TARGET_FILE_NAME:${target}> -out $<TARGET_FILE_NAME:${target}>.signed
      COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE_NAME:${target}>.signed $<TARGET_FILE_NAME:${target}>
      WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
      VERBATIM)
  endif()
endfunction()
