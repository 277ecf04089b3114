# The libraries the product links: OpenSSL libcrypto, zstd, lz4, xxHash and
# BLAKE3. The Windows build takes the static libraries that scripts/bootstrap.sh
# cross-built from Debian's sources into .cache/win64; the native build takes
# Debian's -dev packages. BLAKE3 is compiled here from the C sources of Debian's
# librust-blake3-dev in both builds.

file(GLOB ORV_BLAKE3_DIRS /usr/share/cargo/registry/blake3-*)
list(SORT ORV_BLAKE3_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET ORV_BLAKE3_DIRS 0 ORV_BLAKE3_ROOT)
set(ORV_BLAKE3_DIR ${ORV_BLAKE3_ROOT}/c)
if(NOT EXISTS ${ORV_BLAKE3_DIR}/blake3.h)
  message(FATAL_ERROR "BLAKE3 C sources not found (install librust-blake3-dev: scripts/bootstrap.sh)")
endif()

if(ORV_NATIVE)
  set(blake3_flavour unix)
else()
  set(blake3_flavour windows_gnu)
endif()
add_library(orv_blake3 STATIC
  ${ORV_BLAKE3_DIR}/blake3.c
  ${ORV_BLAKE3_DIR}/blake3_dispatch.c
  ${ORV_BLAKE3_DIR}/blake3_portable.c
  ${ORV_BLAKE3_DIR}/blake3_sse2_x86-64_${blake3_flavour}.S
  ${ORV_BLAKE3_DIR}/blake3_sse41_x86-64_${blake3_flavour}.S
  ${ORV_BLAKE3_DIR}/blake3_avx2_x86-64_${blake3_flavour}.S
  ${ORV_BLAKE3_DIR}/blake3_avx512_x86-64_${blake3_flavour}.S)
target_include_directories(orv_blake3 SYSTEM PUBLIC ${ORV_BLAKE3_DIR})
target_compile_options(orv_blake3 PRIVATE -w)

add_library(orv_deps INTERFACE)
if(ORV_NATIVE)
  target_link_libraries(orv_deps INTERFACE orv_blake3 crypto zstd lz4 xxhash)
else()
  set(win64 ${ORV_CACHE}/win64)
  if(NOT EXISTS ${win64}/lib/libcrypto.a)
    message(FATAL_ERROR "cross-built libraries missing in ${win64}: run scripts/bootstrap.sh")
  endif()
  target_include_directories(orv_deps SYSTEM INTERFACE ${win64}/include)
  # The DLLs that a short run never calls are imported late (delayload.cmake);
  # bcrypt comes first so that BCryptGenRandom binds to its own DLL.
  include(${CMAKE_CURRENT_LIST_DIR}/delayload.cmake)
  foreach(lib bcrypt winhttp crypt32 ncrypt ws2_32 advapi32 user32 shell32 ole32 wtsapi32
              comctl32 uxtheme comdlg32 gdi32)
    orv_delay_library(${lib})
  endforeach()
  target_link_libraries(orv_deps INTERFACE orv_blake3
    ${win64}/lib/libcrypto.a ${win64}/lib/libzstd.a ${win64}/lib/liblz4.a ${win64}/lib/libxxhash.a
    ${orv_delay_bcrypt} ${orv_delay_winhttp} ${orv_delay_crypt32} ${orv_delay_ncrypt}
    ${orv_delay_ws2_32} ${orv_delay_advapi32} ${orv_delay_user32} ${orv_delay_shell32} ${orv_delay_ole32} ${orv_delay_wtsapi32}
    ${orv_delay_gdi32} uuid)
endif()
