# Cross build for 32-bit ARM boards with a hardware FPU (Raspberry Pi OS
# 32-bit, Debian armhf) with Debian's cross compiler.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KMS_TRIPLET arm-linux-gnueabihf)
set(KMS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
