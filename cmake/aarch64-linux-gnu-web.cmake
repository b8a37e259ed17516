# The web server for 64-bit ARM boards, linked with Debian's arm64 libraries.
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux-gnu.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-web.cmake)
