# Every outside library comes from Debian's packages (scripts/install-deps).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(benchmark QUIET)

pkg_check_modules(GNUTLS REQUIRED IMPORTED_TARGET gnutls)
# GnuTLS's own arithmetic library, for the one step GnuTLS lacks: a P-256 point from its scalar.
pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET hogweed nettle gmp)
pkg_check_modules(NGTCP2 REQUIRED IMPORTED_TARGET libngtcp2 libngtcp2_crypto_gnutls)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(X265 REQUIRED IMPORTED_TARGET x265)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale libswresample)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse libpulse-simple)
pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 x11-xcb xext xrandr xtst xfixes xdamage xres xcomposite
                  xkbcommon xkbcommon-x11 xcb)
pkg_check_modules(XCBEXT REQUIRED IMPORTED_TARGET xcb-shm xcb-randr xcb-damage xcb-xfixes xcb-composite)
pkg_check_modules(ATSPI REQUIRED IMPORTED_TARGET atspi-2)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
pkg_check_modules(PNG REQUIRED IMPORTED_TARGET libpng)
pkg_check_modules(GDKPIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
pkg_check_modules(GTKMM REQUIRED IMPORTED_TARGET gtkmm-4.0)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
pkg_check_modules(DESKTOPAPPS REQUIRED IMPORTED_TARGET gio-unix-2.0 gdk-pixbuf-2.0)

# Standalone Asio, compiled once (see platform/support/AsioImpl.cpp) instead of in every file.
add_library(brindlet_asio INTERFACE)
target_compile_definitions(brindlet_asio INTERFACE ASIO_STANDALONE ASIO_SEPARATE_COMPILATION ASIO_NO_DEPRECATED)
# Asio decides whether to allocate with aligned_alloc from whether a standard header came
# before its own, so files that include it first would free with the other allocator than
# the one that allocated. One choice for every file: operator new and delete.
target_compile_definitions(brindlet_asio INTERFACE ASIO_DISABLE_STD_ALIGNED_ALLOC)
target_link_libraries(brindlet_asio INTERFACE Threads::Threads)
