# 32-bit Linux build (-m32) with Debian's g++-multilib, run natively.
#   cmake -S . -B build-linux-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake
# Gives the 32-bit binary layout (4-byte pointers) that the Windows DLL has,
# testable under the sanitizers.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries and packages of the i386 architecture (Debian multiarch).
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The installed GoogleTest is 64-bit: compile it from Debian's sources.
set(NIMBREL_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built with the project")
