# Cross-compiling for aarch64 Linux with Debian's cross GCC
# (g++-aarch64-linux-gnu), with the target's interpreter headers as
# Python_INCLUDE_DIR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
