# What `cmake --install` puts under the prefix, and how CPack packs it: a Debian package on Linux
# (the program linking the system's libgcrypt, its manual page and README), a zip on Windows (the
# self-contained natchat.exe with the licenses it must carry).
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS natchat RUNTIME DESTINATION .)
  install(FILES README.md LICENSE THIRD-PARTY-NOTICES.txt DESTINATION .)
else()
  configure_file(docs/natchat.1.in natchat.1 @ONLY)
  install(TARGETS natchat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/natchat.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Where a Debian system looks for a package's license.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endif()

set(CPACK_PACKAGE_VENDOR "the natchat developers")
set(CPACK_PACKAGE_CONTACT "the natchat developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "private text chat between two computers over UDP, through NAT routers")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "natchat connects two people at a console directly, computer to computer, even"
  "when both sit behind home routers: it learns its public address by STUN and"
  "opens a path by simultaneous UDP hole punching. Between two natchat programs"
  "the chat is encrypted (X25519, ChaCha20-Poly1305) and no line is lost.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME natchat-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # natchat_<version>_<architecture>.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  # dpkg-shlibdeps names the shared libraries natchat links: libgcrypt20, libc6, libstdc++6.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
