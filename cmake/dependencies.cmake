# Third-party libraries: Debian's packages natively; cross-built archives (scripts/build-third-party.sh) for Windows.
find_package(Threads REQUIRED)

if(WIN32)
    set(ORVANE_THIRD_PARTY "${CMAKE_SOURCE_DIR}/build/third_party/mingw" CACHE PATH "Cross-built third-party prefix")
    if(NOT EXISTS "${ORVANE_THIRD_PARTY}/lib/liblzo2.a")
        message(FATAL_ERROR "Missing ${ORVANE_THIRD_PARTY}/lib/liblzo2.a: run scripts/setup.sh first")
    endif()
    add_library(orvane_lzo STATIC IMPORTED)
    set_target_properties(orvane_lzo PROPERTIES IMPORTED_LOCATION "${ORVANE_THIRD_PARTY}/lib/liblzo2.a"
                                                INTERFACE_INCLUDE_DIRECTORIES "${ORVANE_THIRD_PARTY}/include")
    add_library(orvane_zlib STATIC IMPORTED)
    find_library(ORVANE_ZLIB_A NAMES libz.a REQUIRED)
    set_target_properties(orvane_zlib PROPERTIES IMPORTED_LOCATION "${ORVANE_ZLIB_A}")
    add_library(orvane_minizip STATIC IMPORTED)
    set_target_properties(orvane_minizip PROPERTIES IMPORTED_LOCATION "${ORVANE_THIRD_PARTY}/lib/libminizip.a"
                                                    INTERFACE_INCLUDE_DIRECTORIES "${ORVANE_THIRD_PARTY}/include"
                                                    INTERFACE_LINK_LIBRARIES orvane_zlib)
    # libsodium, static: its header must not ask for the DLL's imports.
    if(NOT EXISTS "${ORVANE_THIRD_PARTY}/lib/libsodium.a")
        message(FATAL_ERROR "Missing ${ORVANE_THIRD_PARTY}/lib/libsodium.a: run scripts/setup.sh first")
    endif()
    add_library(orvane_sodium STATIC IMPORTED)
    set_target_properties(orvane_sodium PROPERTIES IMPORTED_LOCATION "${ORVANE_THIRD_PARTY}/lib/libsodium.a"
                                                   INTERFACE_INCLUDE_DIRECTORIES "${ORVANE_THIRD_PARTY}/include"
                                                   INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
                                                   INTERFACE_LINK_LIBRARIES advapi32)
    set(GTest_DIR "${ORVANE_THIRD_PARTY}/lib/cmake/GTest")
    find_package(GTest CONFIG REQUIRED)
else()
    find_path(ORVANE_LZO_INCLUDE lzo/lzo1x.h REQUIRED)
    find_library(ORVANE_LZO_LIB lzo2 REQUIRED)
    add_library(orvane_lzo INTERFACE)
    target_include_directories(orvane_lzo INTERFACE ${ORVANE_LZO_INCLUDE})
    target_link_libraries(orvane_lzo INTERFACE ${ORVANE_LZO_LIB})
    find_package(ZLIB REQUIRED)
    add_library(orvane_zlib INTERFACE)
    target_link_libraries(orvane_zlib INTERFACE ZLIB::ZLIB)
    find_path(ORVANE_SODIUM_INCLUDE sodium.h REQUIRED)
    find_library(ORVANE_SODIUM_LIB sodium REQUIRED)
    add_library(orvane_sodium INTERFACE)
    target_include_directories(orvane_sodium INTERFACE ${ORVANE_SODIUM_INCLUDE})
    target_link_libraries(orvane_sodium INTERFACE ${ORVANE_SODIUM_LIB})
    find_package(GTest REQUIRED)
    # The publisher's libraries: a missing one stops the configure step (scripts/setup.sh installs them).
    find_path(ORVANE_ASIO_INCLUDE asio.hpp REQUIRED)
    find_package(nlohmann_json REQUIRED)
    find_path(ORVANE_BOTAN_INCLUDE botan/block_cipher.h PATH_SUFFIXES botan-2 REQUIRED)
    find_library(ORVANE_BOTAN_LIB botan-2 REQUIRED)
    if(ORVANE_BENCH AND NOT ORVANE_FUZZ)
        find_package(benchmark REQUIRED)
    endif()
endif()
