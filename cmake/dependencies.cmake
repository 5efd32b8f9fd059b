# Every external library comes from a Debian package; pkg-config finds them.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(fmt REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswscale libswresample)
pkg_check_modules(LIBVA REQUIRED IMPORTED_TARGET libva libva-drm libdrm)
pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 xext xrandr xcomposite xfixes xdamage)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gio-2.0)
pkg_check_modules(SECRET REQUIRED IMPORTED_TARGET libsecret-1)
find_package(OpenSSL REQUIRED)

if(KREL_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(KREL_BUILD_BENCH)
  find_package(benchmark QUIET)
endif()

# User-interface host: GTK 3 main loop and windows, the tray through
# libayatana-appindicator (StatusNotifierItem), XTEST for the tests' key presses.
pkg_check_modules(GTK REQUIRED IMPORTED_TARGET gtk+-3.0)
pkg_check_modules(APPINDICATOR REQUIRED IMPORTED_TARGET ayatana-appindicator3-0.1)
pkg_check_modules(WEBKIT REQUIRED IMPORTED_TARGET webkit2gtk-4.1)
pkg_check_modules(XTST REQUIRED IMPORTED_TARGET xtst)
