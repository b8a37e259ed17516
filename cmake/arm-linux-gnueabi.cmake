# Cross build for every 32-bit ARM board, ARMv6 ones included (Raspberry Pi
# Zero W and Pi 1 as well as Pi 2 and later), with Debian's armel cross
# compiler. Its static C library is ARMv5TE code, which ARMv6 and ARMv7 both
# run; the armhf compiler's is ARMv7 Thumb-2 code, which dies on ARMv6 with
# "Illegal instruction" whatever -march the program itself is built with.
# The program's own code is for the Pis' ARM1176 (ARMv6KZ), whose exclusive
# loads and stores make the atomics the port's release relies on lock-free,
# as they are not on ARMv5. Soft float costs nothing seen: the program does
# little floating point.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KMS_TRIPLET arm-linux-gnueabi)
set(KMS_QEMU qemu-arm)
set(CMAKE_C_FLAGS_INIT "-march=armv6kz -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv6kz -marm")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
