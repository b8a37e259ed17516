# What the web server's cross builds add to their architecture's toolchain:
# they link the target's own libmicrohttpd and libcrypt (that architecture's
# -dev packages, which scripts/setup installs), found by that architecture's
# pkg-config (pkgconf:ARCH), never by the build machine's, whose .pc files
# name the build machine's libraries.
find_program(PKG_CONFIG_EXECUTABLE ${KMS_TRIPLET}-pkg-config REQUIRED)
set(KMS_CROSS_LIBRARIES ON)
