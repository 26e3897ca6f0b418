# 32-bit Linux build of the whole tree, for running the shared code's 32-bit
# arithmetic and file sizes on a 64-bit machine: the host's compiler with
# -m32 (Debian's g++-multilib), every program linked static, and every
# program run through qemu-i386-static (Debian's qemu-user-static). A static
# program needs no 32-bit loader, and qemu runs it without binfmt_misc, so
# this build's tests run on kernels that start no 32-bit program.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

# Floating point in SSE2, as on x86-64: the programs use none, but the test
# kit draws its sample pictures in double arithmetic, and x87's wider
# intermediates would draw some texels one step apart from a 64-bit build's.
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")

find_program(TEXWELD_QEMU_I386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TEXWELD_QEMU_I386})
