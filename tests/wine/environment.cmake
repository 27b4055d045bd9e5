# The environment of a test program under Wine (tests/wine/run.sh): the
# folders of the Qt, libsodium and MinGW runtime DLLs, and the Wine prefix.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
  OUTPUT_VARIABLE MUDP_LIBSTDCXX OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libwinpthread-1.dll
  OUTPUT_VARIABLE MUDP_WINPTHREAD OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(MUDP_GCC_DLLS ${MUDP_LIBSTDCXX} DIRECTORY)
get_filename_component(MUDP_PTHREAD_DLLS ${MUDP_WINPTHREAD} DIRECTORY)
get_target_property(MUDP_QTCORE_DLL Qt6::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(MUDP_QT_DLLS ${MUDP_QTCORE_DLL} DIRECTORY)
get_filename_component(MUDP_SODIUM_DLLS ${MUDP_SODIUM_DLL} DIRECTORY)

set(MUDP_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the Windows tests")
set(MUDP_WINE_ENV
  "MUDP_WINE_DLLS=${MUDP_QT_DLLS}:${MUDP_SODIUM_DLLS}:${MUDP_GCC_DLLS}:${MUDP_PTHREAD_DLLS}:${CMAKE_BINARY_DIR}/src"
  "WINEPREFIX=${MUDP_WINEPREFIX}")
