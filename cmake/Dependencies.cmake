# Every third-party library comes from Debian's packages (tools/setup.sh installs them).
find_package(PkgConfig REQUIRED)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gthread-2.0)
pkg_check_modules(LIBEVENT REQUIRED IMPORTED_TARGET libevent_core libevent_extra libevent_pthreads)
pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
# wimlib's pkg-config file names private dependencies (fuse, ntfs-3g) whose development packages
# we do not need for dynamic linking, so it is located directly.
find_path(WIMLIB_INCLUDE_DIR wimlib.h REQUIRED)
find_library(WIMLIB_LIBRARY wim REQUIRED)
add_library(Wimlib::wimlib UNKNOWN IMPORTED)
set_target_properties(Wimlib::wimlib PROPERTIES IMPORTED_LOCATION ${WIMLIB_LIBRARY}
                      INTERFACE_INCLUDE_DIRECTORIES ${WIMLIB_INCLUDE_DIR})
pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET libcrypto++)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
find_package(Threads REQUIRED)
