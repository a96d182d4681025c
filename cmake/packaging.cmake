# Installation and packages.
#
#   cmake --install BUILD [--prefix DIR]   binary, man page, README and manual,
#                                          licence, bash completion (not on Windows)
#   cpack -G DEB   (in a Linux build)      meshfold_VERSION-1_ARCH.deb
#   cpack -G ZIP   (in a Windows build)    meshfold-VERSION-win64.zip
#
# tools/package.sh builds both and checks the .deb with lintian.
include(GNUInstallDirs)

set(MESHFOLD_MAINTAINER "meshfold developers <meshfold@example.org>")
set(MESHFOLD_SUMMARY "convert Unreal vertex meshes to the Deus Ex vertex format")
set(MESHFOLD_DESCRIPTION
  "meshfold rewrites the animation file of an Unreal or Unreal Tournament
vertex mesh (NAME_a.3d) in the vertex format that Deus Ex expects, so that
meshes made with the existing Unreal tools can be used in Deus Ex. With -ms
it also reverses the triangles of the data file (NAME_d.3d) for meshes
exported from MilkShape. Files are replaced only once their new content is
complete and on disk.")

# Compresses `source` into `output` reproducibly (no name, no time stamp).
function(meshfold_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9nc ${source} > ${output}
    DEPENDS ${source}
    VERBATIM)
endfunction()

if(WIN32)
  # The program and its documents side by side, the manual in docs/ where
  # the README's links lead.
  install(TARGETS meshfold RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES docs/manual.md DESTINATION docs)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  set(man_gz ${CMAKE_CURRENT_BINARY_DIR}/meshfold.1.gz)
  set(copyright ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright)
  set(MESHFOLD_DEB_VERSION ${PROJECT_VERSION}-1)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${MESHFOLD_MAINTAINER})
  configure_file(packaging/changelog.Debian.in changelog.Debian @ONLY)
  set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
  meshfold_gzip(${CMAKE_CURRENT_SOURCE_DIR}/packaging/meshfold.1 ${man_gz})
  meshfold_gzip(${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian ${changelog_gz})
  add_custom_target(meshfold_docs ALL DEPENDS ${man_gz} ${changelog_gz})

  install(TARGETS meshfold RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Where bash-completion looks for the completion of a command it is asked
  # to complete, by the command's name.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/meshfold.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME meshfold)
  # zlib is linked in on purpose; lintian is told so.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/meshfold.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME meshfold)
  # Debian keeps the licence in the copyright file of the package's docs.
  install(FILES README.md ${copyright} ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The README's links into the manual lead to docs/manual.md beside it.
  install(FILES docs/manual.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
endif()

set(CPACK_PACKAGE_NAME meshfold)
set(CPACK_PACKAGE_VENDOR "the meshfold developers")
set(CPACK_PACKAGE_CONTACT ${MESHFOLD_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${MESHFOLD_SUMMARY})
set(CPACK_PACKAGE_DESCRIPTION ${MESHFOLD_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME meshfold-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
endif()
include(CPack)
