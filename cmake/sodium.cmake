# libsodium, for the secure channel (src/secure): the system's through
# pkg-config on Linux; for Windows the copy scripts/windows-sodium.sh
# cross-builds, found in MUDP_SODIUM_PREFIX. Defines the target mudp_sodium,
# and on Windows MUDP_SODIUM_DLL, the DLL that ships beside mudp.dll.
if(TARGET mudp_sodium)
  return()
endif()
if(WIN32)
  set(MUDP_SODIUM_PREFIX "" CACHE PATH "libsodium cross-built for Windows (scripts/windows-sodium.sh)")
  file(GLOB MUDP_SODIUM_DLL "${MUDP_SODIUM_PREFIX}/bin/libsodium*.dll")
  set(_sodium_implib "${MUDP_SODIUM_PREFIX}/lib/libsodium.dll.a")
  if(NOT MUDP_SODIUM_DLL OR NOT EXISTS "${_sodium_implib}" OR NOT EXISTS "${MUDP_SODIUM_PREFIX}/include/sodium.h")
    message(FATAL_ERROR "No libsodium for Windows in MUDP_SODIUM_PREFIX ('${MUDP_SODIUM_PREFIX}'): "
                        "scripts/windows-sodium.sh builds one and prints its prefix")
  endif()
  list(GET MUDP_SODIUM_DLL 0 MUDP_SODIUM_DLL)
  add_library(mudp_sodium SHARED IMPORTED GLOBAL)
  set_target_properties(mudp_sodium PROPERTIES
    IMPORTED_LOCATION "${MUDP_SODIUM_DLL}" IMPORTED_IMPLIB "${_sodium_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${MUDP_SODIUM_PREFIX}/include")
  unset(_sodium_implib)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MUDP_SODIUM REQUIRED IMPORTED_TARGET GLOBAL libsodium)
  add_library(mudp_sodium ALIAS PkgConfig::MUDP_SODIUM)
endif()
