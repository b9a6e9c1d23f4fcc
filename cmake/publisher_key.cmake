# The publisher's public key, QV_MANIFEST_KEY, compiled into the program as DER
# bytes (generated/publisher_key.cpp). A build with a key takes no update
# manifest that the key's private half did not sign; a build without one takes
# manifests unsigned.
set(QV_MANIFEST_KEY "" CACHE FILEPATH
    "Publisher's RSA 3072 public key (PEM, as OpenSSL writes it) that every update manifest must be signed with; empty: manifests are not checked")
set(QV_PUBLISHER_KEY_SOURCE ${CMAKE_BINARY_DIR}/generated/publisher_key.cpp)

if(QV_MANIFEST_KEY)
  if(NOT EXISTS "${QV_MANIFEST_KEY}")
    message(FATAL_ERROR "QV_MANIFEST_KEY names ${QV_MANIFEST_KEY}, which does not exist")
  endif()
  find_program(QV_OPENSSL openssl REQUIRED)
  execute_process(COMMAND ${QV_OPENSSL} pkey -pubin -in ${QV_MANIFEST_KEY} -noout -text
                  OUTPUT_VARIABLE key_text RESULT_VARIABLE key_failed ERROR_QUIET)
  if(key_failed OR NOT key_text MATCHES "^Public-Key: \\(3072 bit\\)"
     OR NOT key_text MATCHES "\nModulus:")
    message(FATAL_ERROR "QV_MANIFEST_KEY: ${QV_MANIFEST_KEY} is not an RSA public key of 3072 "
            "bits in PEM (the public half of the publisher's key: openssl pkey -in PRIVATE.pem "
            "-pubout -out PUBLIC.pem)")
  endif()
  set(key_der ${CMAKE_BINARY_DIR}/generated/publisher_key.der)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/generated)
  execute_process(COMMAND ${QV_OPENSSL} pkey -pubin -in ${QV_MANIFEST_KEY} -outform DER
                          -out ${key_der}
                  RESULT_VARIABLE key_failed)
  if(key_failed)
    message(FATAL_ERROR "QV_MANIFEST_KEY: openssl could not write ${QV_MANIFEST_KEY} as DER")
  endif()
  file(READ ${key_der} key_hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," key_bytes "${key_hex}")
  string(REPEAT "0x..," 12 row)
  string(REGEX REPLACE "(${row})" "\\1\n    " key_bytes "${key_bytes}")
  string(CONCAT key_definition "static const unsigned char key_der[] = {\n    ${key_bytes}\n};\n"
                "PublisherKey publisher_key = {key_der, sizeof key_der};\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QV_MANIFEST_KEY})
  message(STATUS "Update manifests must be signed by the key in ${QV_MANIFEST_KEY}")
else()
  set(key_definition "PublisherKey publisher_key = {NULL, 0};\n")
  message(STATUS "No QV_MANIFEST_KEY: update manifests are taken unsigned")
endif()
string(CONCAT key_source "// Generated from QV_MANIFEST_KEY by cmake/publisher_key.cmake.\n"
              "#include \"source/publisher_key.h\"\n\n" "${key_definition}")
file(CONFIGURE OUTPUT ${QV_PUBLISHER_KEY_SOURCE} CONTENT "${key_source}")
