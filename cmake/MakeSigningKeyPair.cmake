# Makes the build's cleaner signing key pair in DIR with the openssl program OPENSSL:
# private.pem (520-bit RSA, mode 0600) and public.pem. A private key already there is kept
# (only its public half is written again), so the key stays the same for the life of the build
# directory and everything signed with it stays valid. Each file is written under a temporary
# name and renamed, so an interrupted build leaves no half key.
#
#   cmake -DOPENSSL=/usr/bin/openssl -DDIR=<dir> -P MakeSigningKeyPair.cmake
if(NOT OPENSSL OR NOT DIR)
    message(FATAL_ERROR "usage: cmake -DOPENSSL=<openssl> -DDIR=<dir> -P MakeSigningKeyPair.cmake")
endif()
file(MAKE_DIRECTORY ${DIR})
file(CHMOD ${DIR} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

if(NOT EXISTS ${DIR}/private.pem)
    file(REMOVE ${DIR}/private.pem.tmp)
    execute_process(COMMAND ${OPENSSL} genrsa -out ${DIR}/private.pem.tmp 520
                    RESULT_VARIABLE result ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
        file(REMOVE ${DIR}/private.pem.tmp)
        message(FATAL_ERROR "openssl genrsa failed: ${error}")
    endif()
    file(CHMOD ${DIR}/private.pem.tmp FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
    file(RENAME ${DIR}/private.pem.tmp ${DIR}/private.pem)
endif()

execute_process(COMMAND ${OPENSSL} rsa -in ${DIR}/private.pem -pubout -out ${DIR}/public.pem.tmp
                RESULT_VARIABLE result ERROR_VARIABLE error)
if(NOT result EQUAL 0)
    file(REMOVE ${DIR}/public.pem.tmp)
    message(FATAL_ERROR "openssl rsa -pubout failed: ${error}")
endif()
file(CHMOD ${DIR}/public.pem.tmp FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(RENAME ${DIR}/public.pem.tmp ${DIR}/public.pem)
