# The web server for 32-bit ARMv7 boards, linked with Debian's armhf
# libraries (which need ARMv7 themselves: see the package's preinst).
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-gnueabihf.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-web.cmake)
