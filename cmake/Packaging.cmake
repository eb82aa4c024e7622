# `cpack -G DEB` builds tovamix_<version>_<arch>.deb from the install rules. Its dependencies
# are the libraries the programs link (found by dpkg-shlibdeps) and the GStreamer plugins and
# Qt platform plugins they load at run time, which no linker sees.
set(CPACK_PACKAGE_NAME tovamix)
set(CPACK_PACKAGE_VENDOR "Tovamix")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Screen recorder with voice, and a media toolbox")
set(CPACK_PACKAGE_DESCRIPTION
    "Records the screen with the voice alongside into an AVI file (XviD video, MP3 sound), and plays, cuts, merges, splits, links and converts media files. tovamix-cli does the same jobs without windows.")
set(CPACK_PACKAGE_CONTACT "Tovamix developers <tovamix@localhost>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tovamix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The programs without their debugging information, as distributions ship them.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-plugins-ugly, gstreamer1.0-libav, gstreamer1.0-x, gstreamer1.0-pulseaudio, qt6-qpa-plugins")
# The windows' Chinese texts (the merge window's "合并文件名", the full-width "！" of a message)
# need a font with those characters; without one they show as empty boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei")
include(CPack)
