# Run at install time (and so by CPack before it zips): signs the installed exe with
# Authenticode when SIGN_CERT and SIGN_KEY name a code-signing certificate and its
# private key (PEM or DER files; the key unencrypted). SIGN_TIMESTAMP may name a
# time-stamping server, which keeps the signature valid after the certificate expires.
# PORTS_SIGN_FILE names the file.
set(cert "$ENV{SIGN_CERT}")
set(key "$ENV{SIGN_KEY}")
if(cert STREQUAL "" AND key STREQUAL "")
  message(STATUS "Not signed (no SIGN_CERT and SIGN_KEY): ${PORTS_SIGN_FILE}")
  return()
endif()
if(cert STREQUAL "" OR key STREQUAL "")
  message(FATAL_ERROR "SIGN_CERT and SIGN_KEY go together: both name a file, or neither is set")
endif()
find_program(PORTS_OSSLSIGNCODE osslsigncode)
if(NOT PORTS_OSSLSIGNCODE)
  message(FATAL_ERROR "osslsigncode is missing (scripts/install-deps.sh package)")
endif()
set(timestamp)
if(NOT "$ENV{SIGN_TIMESTAMP}" STREQUAL "")
  set(timestamp -ts "$ENV{SIGN_TIMESTAMP}")
endif()
execute_process(
  COMMAND ${PORTS_OSSLSIGNCODE} sign -certs ${cert} -key ${key} -h sha256 -n ports
          ${timestamp} -in ${PORTS_SIGN_FILE} -out ${PORTS_SIGN_FILE}.signed
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  file(REMOVE ${PORTS_SIGN_FILE}.signed)
  message(FATAL_ERROR "osslsigncode could not sign ${PORTS_SIGN_FILE}:\n${out}")
endif()
file(RENAME ${PORTS_SIGN_FILE}.signed ${PORTS_SIGN_FILE})
message(STATUS "Signed: ${PORTS_SIGN_FILE}")
