# What both Linux cross builds share; the including toolchain file sets
# KMS_TRIPLET (the Debian cross compiler's prefix) and KMS_QEMU.
set(CMAKE_C_COMPILER ${KMS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KMS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${KMS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The presets link static (CMAKE_EXE_LINKER_FLAGS, which every configure
# with a preset sets again, unlike an _INIT flag, which only a build folder's
# first configure reads), so that the program runs on a board's older C
# library (Raspberry Pi OS bullseye has 2.31) as well as on today's; it makes
# no name-service lookups, the one thing static glibc cannot do.

# This machine has no binfmt handler: CTest starts test programs through
# qemu-user. -L lets a dynamically linked program find its loader; a static
# one ignores it.
find_program(KMS_QEMU_PATH ${KMS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KMS_QEMU_PATH} -L /usr/${KMS_TRIPLET})
