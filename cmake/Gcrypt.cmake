# libgcrypt, which checks script signatures, as the target qor_gcrypt. The Windows build links it
# and libgpg-error statically, so that the programs still import Windows system DLLs only.
find_path(QOR_GCRYPT_INCLUDE_DIR gcrypt.h)
if(WIN32)
  find_library(QOR_GCRYPT_LIBRARY NAMES libgcrypt.a)
  find_library(QOR_GPG_ERROR_LIBRARY NAMES libgpg-error.a)
else()
  find_library(QOR_GCRYPT_LIBRARY NAMES gcrypt)
  find_library(QOR_GPG_ERROR_LIBRARY NAMES gpg-error)
endif()
if(NOT QOR_GCRYPT_INCLUDE_DIR OR NOT QOR_GCRYPT_LIBRARY OR NOT QOR_GPG_ERROR_LIBRARY)
  message(FATAL_ERROR "libgcrypt is missing (libgcrypt20-dev; libgcrypt-mingw-w64-dev for the "
                      "Windows build): run scripts/install-deps")
endif()
add_library(qor_gcrypt INTERFACE)
target_include_directories(qor_gcrypt SYSTEM INTERFACE ${QOR_GCRYPT_INCLUDE_DIR})
target_link_libraries(qor_gcrypt INTERFACE ${QOR_GCRYPT_LIBRARY} ${QOR_GPG_ERROR_LIBRARY})
if(WIN32)
  # What the static libgpg-error and libgcrypt call in the system.
  target_link_libraries(qor_gcrypt INTERFACE ws2_32 advapi32)
endif()
