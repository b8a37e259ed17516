# Cross build for 64-bit ARM boards (Raspberry Pi OS 64-bit, Debian arm64)
# with Debian's cross compiler.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KMS_TRIPLET aarch64-linux-gnu)
set(KMS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
