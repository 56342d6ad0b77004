# Run at install time, by the package step (CPack) and `cmake --install` alike,
# once the runtime files are in place: signs the installed Larkspan.dll,
# Harrowfen.exe and larkspan-get.exe with Authenticode (osslsigncode), after
# they were stripped and before they are zipped. The programs in the build
# folder, which the suites run, stay unsigned.
#
# What to sign with (docs/releasing.md, Signing), each from the environment
# variable of that name when it is set, even empty, else from the cache
# variable the build was configured with:
#   LARKSPAN_SIGN_PKCS12          a PKCS#12 file with the certificate and key,
#   LARKSPAN_SIGN_CERT and _KEY   or the certificate (with its chain) and key;
#   LARKSPAN_SIGN_PASSWORD_FILE   a file holding the PKCS#12 file's or key's password;
#   LARKSPAN_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamp server; none: no time stamp.
foreach(setting PKCS12 CERT KEY PASSWORD_FILE TIMESTAMP_URL)
  if(DEFINED ENV{LARKSPAN_SIGN_${setting}})
    set(sign_${setting} "$ENV{LARKSPAN_SIGN_${setting}}")
  else()
    set(sign_${setting} "${LARKSPAN_SIGN_${setting}}")
  endif()
endforeach()

if(sign_PKCS12)
  set(identity -pkcs12 ${sign_PKCS12})
elseif(sign_CERT AND sign_KEY)
  set(identity -certs ${sign_CERT} -key ${sign_KEY})
elseif(sign_CERT OR sign_KEY)
  message(FATAL_ERROR "Signing needs both LARKSPAN_SIGN_CERT and LARKSPAN_SIGN_KEY (or LARKSPAN_SIGN_PKCS12)")
else()
  message(NOTICE "Not signed: no certificate given (LARKSPAN_SIGN_PKCS12, or LARKSPAN_SIGN_CERT and LARKSPAN_SIGN_KEY)")
  return()
endif()
if(sign_PASSWORD_FILE)
  list(APPEND identity -readpass ${sign_PASSWORD_FILE})
endif()
if(sign_TIMESTAMP_URL)
  set(timestamp -ts ${sign_TIMESTAMP_URL})
endif()
find_program(LARKSPAN_OSSLSIGNCODE osslsigncode)
if(NOT LARKSPAN_OSSLSIGNCODE)
  message(FATAL_ERROR "A certificate is given but osslsigncode is not installed (scripts/setup installs it)")
endif()

set(signed "")
foreach(name Larkspan.dll Harrowfen.exe larkspan-get.exe)
  set(file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${name}")
  # A program the build leaves out (LARKSPAN_UPDATER, LARKSPAN_GET off) is not there.
  if(NOT name STREQUAL "Larkspan.dll" AND NOT EXISTS "${file}")
    continue()
  endif()
  list(APPEND signed ${name})
  execute_process(COMMAND ${LARKSPAN_OSSLSIGNCODE} sign ${identity} -h sha256 -n "Larkspan and Harrowfen"
                          ${timestamp} -in ${file} -out ${file}.signed
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    file(REMOVE ${file}.signed)
    message(FATAL_ERROR "Signing ${name} failed:\n${output}")
  endif()
  file(RENAME ${file}.signed ${file})
endforeach()
list(JOIN signed ", " signed)
if(timestamp)
  message(NOTICE "Signed ${signed}, time-stamped by ${sign_TIMESTAMP_URL}")
else()
  message(NOTICE "Signed ${signed}, without a time stamp")
endif()
