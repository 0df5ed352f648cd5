# Builds for the daemon's target host, 32-bit x86 Linux, on an x86-64 Debian
# machine with the i386 architecture added (scripts/setup --i386). The kernel
# runs the results natively, so tests run as they are.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Libraries and their .pc files come from the :i386 packages.
set(PKG_CONFIG_EXECUTABLE /usr/bin/i686-linux-gnu-pkg-config CACHE FILEPATH "")
# Qt's build tools (moc and friends) are the host's.
set(QT_HOST_PATH /usr CACHE PATH "")

set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
