# The Debian package, made by `cpack -G DEB` in a build configured for
# /usr (scripts/package does all of it). Its documentation directory holds
# the licence as a machine-readable copyright file and the changelog; the
# install rules put them there for any install, so the licence travels with
# every copy.

set(GW_PACKAGE_NAME gondavel-wubbix)
set(GW_AUTHORS "the gondavel_wubbix authors")
set(GW_PACKAGE_MAINTAINER "${GW_AUTHORS} <authors@gondavelwubbix.org>"
    CACHE STRING "The package's maintainer, as \"name <address>\"")
set(GW_HOMEPAGE "https://gondavelwubbix.org/" CACHE STRING "The project's home page")
set(GW_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${GW_PACKAGE_NAME})

# The licence in Debian's copyright format: each line of its text indented
# by one space, an empty line as " .".
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE licence_lines)
list(REMOVE_AT licence_lines 0 1 2 3) # the title, the copyright line and their blank lines
set(licence "")
foreach(line IN LISTS licence_lines)
    if(line STREQUAL "")
        string(APPEND licence " .\n")
    else()
        string(APPEND licence " ${line}\n")
    endif()
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/packaging/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}
Source: ${GW_HOMEPAGE}

Files: *
Copyright: 2026 ${GW_AUTHORS}
License: Expat

License: Expat
${licence}")

gw_compressed(${PROJECT_SOURCE_DIR}/packaging/changelog packaging)
install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${GW_PACKAGE_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${GW_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR ${GW_AUTHORS})
set(CPACK_PACKAGE_CONTACT ${GW_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${GW_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tiny windows that hum a drone and flicker in colours")
set(CPACK_PACKAGE_DESCRIPTION "A generative sound-and-colour toy. Each instance is a tiny borderless
window that flickers with fragments of its name in random colours and
hums an endless stereo drone, a sine or a ramp fed through a feedback
delay line, that wanders by random walks ten times a second. A click on
a window starts one more instance beside it, so a cluster of small
humming windows builds up.

The control tool, gondavel_wubbix-ctl, lists the running instances, asks
them to roll new settings or to quit, and records what they will play
from now on. The renderer, gondavel_wubbix-render, writes what a number
of instances would play to a WAV, FLAC or Ogg file, far faster than real
time.")
# The libraries the programs link (libsndfile for the renderer and the
# control tool among them)
# come from dpkg-shlibdeps. The text library, fontconfig, a font and Xlib
# (for what SDL leaves undone on X11) are opened at run time, and PipeWire's
# library only where a PipeWire server runs; PulseAudio serves otherwise.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsdl2-ttf-2.0-0, libfontconfig1, libx11-6, \
fonts-dejavu-core | fonts-liberation2 | fonts-freefont-ttf | fonts-noto-core")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpipewire-0.3-0")
include(CPack)
