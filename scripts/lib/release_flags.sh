# shellcheck shell=bash
# The CMake options for an optimised build with Debian's own compiler and
# linker flags (hardening included). The package and the tests' build use
# the same ones, so that a compiler cache can give the package the objects
# the tests' build made (see scripts/test). Call from the source tree's root.
release_flags=(
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
)
