# Cross-compiling with zig's C++ compiler (the ziglang package's zig), for
# the platforms this machine cannot build for natively:
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#   -DVINDRAL_ZIG=/path/to/zig -DVINDRAL_ZIG_TARGET=x86_64-windows-gnu
# (or aarch64-linux-gnu.2.17, x86_64-macos, aarch64-macos), with the target's
# interpreter headers as Python_INCLUDE_DIR.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VINDRAL_ZIG VINDRAL_ZIG_TARGET)

if(VINDRAL_ZIG_TARGET MATCHES "windows")
  set(CMAKE_SYSTEM_NAME Windows)
elseif(VINDRAL_ZIG_TARGET MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${VINDRAL_ZIG_TARGET}")

set(CMAKE_CXX_COMPILER "${VINDRAL_ZIG}" c++ -target "${VINDRAL_ZIG_TARGET}")
# The compiler checks compile without linking: zig builds its C++ runtime for
# each target and set of flags it links with, which takes minutes.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The interpreter's pyconfig.h sets _XOPEN_SOURCE to 700; the C library
# headers of newer targets, read first, set 800: harmless.
set(CMAKE_CXX_FLAGS_INIT "-Wno-macro-redefined")
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake")
  # zig's Mach-O linker takes no export list: hidden visibility must leave
  # the initialisation function the only export of our own code (which
  # scripts/cross-check checks).
  set(VINDRAL_LINKER_TAKES_NO_EXPORT_LIST ON)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  # The same module byte for byte wherever and whenever it is built: no debug
  # information (whose PDB identity hashes the build's paths), and a time
  # stamp that hashes the contents (/Brepro) in place of the link's time.
  set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s -Wl,/Brepro")
endif()
