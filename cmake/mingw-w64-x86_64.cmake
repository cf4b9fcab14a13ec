# Windows x86-64 with Debian's MinGW-w64 cross compilers, in their POSIX
# thread model. Programs are linked statically, so that they need nothing but
# Windows' own DLLs, and run here under Wine. Libraries built for the target
# are found under the prefixes in CMAKE_PREFIX_PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config looks only where CMAKE_PREFIX_PATH points, never at the build
# machine's own libraries.
set(ENV{PKG_CONFIG_LIBDIR} "")

# Wine is started with address randomisation off (setarch -R). Debian's Wine
# has no preloader: its loader sits at a fixed address, its heap lands
# anywhere in the GiB above it, and now and then covers the address Wine must
# map for Windows' shared user data, so that a start fails at random (status
# 1, "failed to map the shared user data"). Without randomisation the heap
# always lands just above the loader, out of the way. A list: the black-box
# test driver gets it as one string of words joined by spaces.
set(CMAKE_CROSSCOMPILING_EMULATOR setarch -R wine)
