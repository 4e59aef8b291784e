# The key that verifies the cleaner executable's appended signature (CleanerSigningKey).
#
# The library holds the public key as a constant, generated into the build tree from a PEM
# file: -DCLEANER_SIGNING_KEY=<public PEM> names the signing side's key. Without it, a 520-bit
# key pair is made once per build directory (target cleaner_signing_key):
#
#   ${CMAKE_BINARY_DIR}/cleaner-signing/private.pem   mode 0600, for nvl-sign-appended
#   ${CMAKE_BINARY_DIR}/cleaner-signing/public.pem
#
# so that tests and fixtures can sign executables the build accepts. Such a key is for tests
# and demonstrations only; a private key never belongs in the source tree.
#
# CLEANER_SIGNING_PUBLIC_PEM and CLEANER_SIGNING_PRIVATE_PEM (empty when the key was given) name
# the files for the rest of the build.
#
# Only the generator and the key tools use OpenSSL; libcgishare.so gets a constant array.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

set(CLEANER_SIGNING_KEY "" CACHE FILEPATH
    "RSA public key (PEM) that verifies the cleaner executable's appended signature; empty: a 520-bit test key pair made in the build directory")

add_executable(signing_key_gen ${CMAKE_CURRENT_SOURCE_DIR}/src/signature/gen/signing_key_gen.cpp)
target_link_libraries(signing_key_gen PRIVATE OpenSSL::Crypto)
cgishare_warnings(signing_key_gen)

if(CLEANER_SIGNING_KEY)
    get_filename_component(CLEANER_SIGNING_PUBLIC_PEM "${CLEANER_SIGNING_KEY}" ABSOLUTE)
    set(CLEANER_SIGNING_PRIVATE_PEM "")
    if(NOT EXISTS "${CLEANER_SIGNING_PUBLIC_PEM}")
        message(FATAL_ERROR "CLEANER_SIGNING_KEY: ${CLEANER_SIGNING_PUBLIC_PEM} does not exist")
    endif()
    message(STATUS "Cleaner signing key: ${CLEANER_SIGNING_PUBLIC_PEM}")
else()
    find_program(CLEANER_OPENSSL_PROGRAM openssl REQUIRED)
    set(CLEANER_SIGNING_DIR ${CMAKE_BINARY_DIR}/cleaner-signing)
    set(CLEANER_SIGNING_PUBLIC_PEM ${CLEANER_SIGNING_DIR}/public.pem)
    set(CLEANER_SIGNING_PRIVATE_PEM ${CLEANER_SIGNING_DIR}/private.pem)
    add_custom_command(
        OUTPUT ${CLEANER_SIGNING_DIR}/private.pem ${CLEANER_SIGNING_DIR}/public.pem
        COMMAND ${CMAKE_COMMAND} -DOPENSSL=${CLEANER_OPENSSL_PROGRAM} -DDIR=${CLEANER_SIGNING_DIR}
                -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/MakeSigningKeyPair.cmake
        DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/MakeSigningKeyPair.cmake
        COMMENT "Making the build's cleaner signing key pair (520 bits)"
        VERBATIM)
    add_custom_target(cleaner_signing_key
        DEPENDS ${CLEANER_SIGNING_DIR}/private.pem ${CLEANER_SIGNING_DIR}/public.pem)
endif()

set(CLEANER_SIGNING_KEY_SOURCE ${CMAKE_BINARY_DIR}/cleaner_signing_key.cpp)
add_custom_command(OUTPUT ${CLEANER_SIGNING_KEY_SOURCE}
    COMMAND signing_key_gen ${CLEANER_SIGNING_PUBLIC_PEM} ${CLEANER_SIGNING_KEY_SOURCE}
    DEPENDS signing_key_gen ${CLEANER_SIGNING_PUBLIC_PEM}
    COMMENT "Generating CleanerSigningKey from ${CLEANER_SIGNING_PUBLIC_PEM}"
    VERBATIM)
target_sources(cgishare_objs PRIVATE ${CLEANER_SIGNING_KEY_SOURCE})
