# What CMake's own platform files set, changed for zig (read after them, as
# cmake/zig-toolchain.cmake arranges).
if(APPLE)
  # A module as a Mach-O dylib: zig's linker crashes making a bundle, and
  # CPython loads either.
  set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
endif()
