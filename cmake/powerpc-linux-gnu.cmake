# The appliance's processor: 32-bit big-endian PowerPC, Debian's cross compiler.
#
# The target's zlib, libcrypto and googletest are static builds in the prefix
# made by scripts/ppc-deps.sh: -DMFG_PPC_PREFIX=..., else $ENV{MFG_PPC_PREFIX},
# else the current build in the cache folder ($ENV{MFG_PPC_CACHE} or
# /var/cache/libmfg-ppc). Test programs run under qemu-ppc-static, which also
# finds the prefix's libcrypto.so.3 (what mfgtool loads for digests).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(MFG_PPC_TRIPLE powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${MFG_PPC_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MFG_PPC_TRIPLE}-g++)
set(MFG_PPC_SYSROOT /usr/${MFG_PPC_TRIPLE})

if(NOT MFG_PPC_PREFIX)
  if(DEFINED ENV{MFG_PPC_PREFIX})
    set(MFG_PPC_PREFIX "$ENV{MFG_PPC_PREFIX}")
  elseif(DEFINED ENV{MFG_PPC_CACHE})
    set(MFG_PPC_PREFIX "$ENV{MFG_PPC_CACHE}/current")
  else()
    set(MFG_PPC_PREFIX /var/cache/libmfg-ppc/current)
  endif()
endif()
if(NOT EXISTS "${MFG_PPC_PREFIX}/lib/libcrypto.a" OR
   NOT EXISTS "${MFG_PPC_PREFIX}/sysroot/lib/libcrypto.so.3")
  message(FATAL_ERROR "No PowerPC target libraries in ${MFG_PPC_PREFIX}: run scripts/ppc-deps.sh")
endif()
# Seen again by the compiler checks, which run the toolchain file afresh.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MFG_PPC_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${MFG_PPC_PREFIX} ${MFG_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ZLIB_USE_STATIC_LIBS ON)
set(OPENSSL_USE_STATIC_LIBS ON)

# libcrypto's 64-bit atomics are library calls on this 32-bit processor.
set(CMAKE_C_STANDARD_LIBRARIES_INIT -latomic)
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT -latomic)

# Programs built here run under the user-mode emulator, which maps the
# target's absolute paths into the prefix's sysroot: the cross C library's
# directory with libcrypto.so.3 in it, a system library as on the appliance.
# LD_PRELOAD and LD_LIBRARY_PATH in their environment reach the target's loader.
find_program(MFG_QEMU_PPC qemu-ppc-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${MFG_QEMU_PPC} -L ${MFG_PPC_PREFIX}/sysroot)
