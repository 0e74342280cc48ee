# What `cmake --install` puts where, and the zip CPack makes of it for the Windows build (the
# Debian packages are made by debian/ from the same install). Only the programs, the library, its
# header and the documentation are installed; nothing a test uses.
include(GNUInstallDirs)

set(TESSIVO_PROGRAMS tessivo tessivo-peer tessivo-host)
foreach(program ${TESSIVO_PROGRAMS})
  if(NOT TARGET ${program})
    message(FATAL_ERROR "cannot install ${program}: it is not built in this configuration")
  endif()
endforeach()
# The peer and the host start the agent found beside themselves.
install(TARGETS ${TESSIVO_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/vantrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessivo)

if(WIN32)
  # Vantrel.dll beside the programs that load it; its import library for programs built on it.
  install(TARGETS vantrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
  install(TARGETS vantrel LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # The programs (the agent, and the peer and the host for the certificate record) find the
  # library in the install's own lib folder, wherever it was unpacked; a system package leaves
  # that to the dynamic linker.
  option(TESSIVO_INSTALL_RPATH "Installed programs look for libvantrel beside their bin folder" ON)
  if(TESSIVO_INSTALL_RPATH)
    file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(${TESSIVO_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
    # The build tree has the same bin/ and lib/ (unless the install's library folder is deeper):
    # its programs then carry the installed search path already. Otherwise CMake leaves an empty
    # entry at the end of their search path, to be patched at install, and an empty entry makes
    # the loader look for libcrypto and the rest in whatever folder a program is started from.
    if(bin_to_lib STREQUAL "../lib")
      set_target_properties(${TESSIVO_PROGRAMS} PROPERTIES BUILD_WITH_INSTALL_RPATH ON)
    endif()
  endif()

  file(RELATIVE_PATH VANTREL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" VANTREL_PC_TO_PREFIX "${VANTREL_PC_TO_PREFIX}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/vantrel.pc.in ${CMAKE_BINARY_DIR}/vantrel.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/vantrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  install(FILES ${CMAKE_SOURCE_DIR}/docs/man/tessivo.1 ${CMAKE_SOURCE_DIR}/docs/man/tessivo-peer.1
                ${CMAKE_SOURCE_DIR}/docs/man/tessivo-host.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/peer/completion/tessivo-peer
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

  # For developers: a C example beside the library's documentation.
  set(vantrel_docdir ${CMAKE_INSTALL_DATADIR}/doc/libvantrel-dev)
  install(FILES ${CMAKE_SOURCE_DIR}/examples/vantrel_sign.c DESTINATION ${vantrel_docdir}/examples)
  # The API reference, made by Doxygen from the header's comments.
  option(TESSIVO_API_DOCS "Build and install the library's HTML reference (Doxygen)" OFF)
  if(TESSIVO_API_DOCS)
    find_package(Doxygen REQUIRED)
    set(DOXYGEN_PROJECT_NAME Vantrel)
    set(DOXYGEN_PROJECT_BRIEF "Smart-card token and certificate library")
    set(DOXYGEN_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/apidoc)
    set(DOXYGEN_GENERATE_HTML YES)
    set(DOXYGEN_GENERATE_LATEX NO)
    set(DOXYGEN_OPTIMIZE_OUTPUT_FOR_C YES)
    set(DOXYGEN_EXTRACT_ALL YES)
    set(DOXYGEN_SEARCHENGINE NO)
    set(DOXYGEN_HTML_TIMESTAMP NO)
    set(DOXYGEN_FULL_PATH_NAMES NO)
    set(DOXYGEN_EXAMPLE_PATH ${CMAKE_SOURCE_DIR}/examples)
    # Document what a C++ program sees: all of the library's functions.
    set(DOXYGEN_PREDEFINED __cplusplus VANTREL_API= VANTREL_CPP_API=
      "VANTREL_CODE(name,value)=const VR_RESULT name = value\;")
    set(DOXYGEN_MACRO_EXPANSION YES)
    set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
    set(DOXYGEN_WARN_AS_ERROR YES)
    doxygen_add_docs(vantrel_docs ${CMAKE_SOURCE_DIR}/include/vantrel.h ALL
      COMMENT "Making the Vantrel API reference")
    install(DIRECTORY ${CMAKE_BINARY_DIR}/apidoc/html DESTINATION ${vantrel_docdir})
  endif()

  # The browsers' system-wide host registrations, naming the installed host. The names and
  # extension ids are the host's own (its per-user --install writes the same manifests).
  option(TESSIVO_INSTALL_BROWSER_MANIFESTS "Install the browsers' system-wide host manifests" OFF)
  if(TESSIVO_INSTALL_BROWSER_MANIFESTS)
    file(READ ${CMAKE_SOURCE_DIR}/host/Install.h install_h)
    foreach(name kHostName kExtensionId)
      if(NOT install_h MATCHES "${name} = \"([^\"]+)\"")
        message(FATAL_ERROR "host/Install.h has no ${name}")
      endif()
      set(${name} ${CMAKE_MATCH_1})
    endforeach()
    # Firefox knows the extension by the id its manifest declares, as the host does.
    file(READ ${CMAKE_SOURCE_DIR}/web/extension/manifest.json extension_manifest_text)
    string(JSON kFirefoxExtensionId GET "${extension_manifest_text}"
      browser_specific_settings gecko id)
    set(TESSIVO_HOST_PATH ${CMAKE_INSTALL_FULL_BINDIR}/tessivo-host)
    set(TESSIVO_HOST_ALLOWED "\"allowed_origins\": [\"chrome-extension://${kExtensionId}/\"]")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/host-manifest.json.in
      ${CMAKE_BINARY_DIR}/manifests/chromium/${kHostName}.json @ONLY)
    set(TESSIVO_HOST_ALLOWED "\"allowed_extensions\": [\"${kFirefoxExtensionId}\"]")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/host-manifest.json.in
      ${CMAKE_BINARY_DIR}/manifests/firefox/${kHostName}.json @ONLY)
    # Chromium and Chrome read /etc. Links there, not files: a file in /etc would be kept as a
    # configuration file when the package is removed, naming a host that is gone.
    set(chromium_dir ${CMAKE_INSTALL_DATADIR}/tessivo/native-messaging-hosts)
    install(FILES ${CMAKE_BINARY_DIR}/manifests/chromium/${kHostName}.json DESTINATION ${chromium_dir})
    foreach(etc /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts)
      install(CODE "file(MAKE_DIRECTORY \$ENV{DESTDIR}${etc})
        file(CREATE_LINK ${CMAKE_INSTALL_PREFIX}/${chromium_dir}/${kHostName}.json
          \$ENV{DESTDIR}${etc}/${kHostName}.json SYMBOLIC)")
    endforeach()
    install(FILES ${CMAKE_BINARY_DIR}/manifests/firefox/${kHostName}.json
      DESTINATION lib/mozilla/native-messaging-hosts)
  endif()
endif()

if(NOT WIN32)
  return()
endif()
set(CPACK_PACKAGE_NAME tessivo)
set(CPACK_PACKAGE_VENDOR Tessivo)
set(CPACK_PACKAGE_CONTACT "Tessivo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "smart-card signing agent, its command-line peer and browser host")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
# The installer: `cmake --build <tree> --target msi` makes packages/tessivo-<version>-x64.msi
# with scripts/make-msi.sh (wixl). TESSIVO_SIGN signs the programs, Vantrel.dll and the MSI
# with the certificate and key that TESSIVO_SIGN_CERT and TESSIVO_SIGN_KEY name in the
# environment of the build (scripts/sign-release.sh), so no key path is kept in the cache.
option(TESSIVO_SIGN "Sign the programs, Vantrel.dll and the MSI (Authenticode)" OFF)
set(TESSIVO_EXTENSION_UPDATE_URL "" CACHE STRING
  "Offer the browser extension to Chrome and Edge from this update URL (empty: not offered)")
set(msi_options "")
if(TESSIVO_EXTENSION_UPDATE_URL)
  list(APPEND msi_options --update-url ${TESSIVO_EXTENSION_UPDATE_URL})
endif()
if(TESSIVO_SIGN)
  list(APPEND msi_options --sign)
endif()
add_custom_target(msi
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/make-msi.sh ${CMAKE_BINARY_DIR}
          ${CMAKE_BINARY_DIR}/packages/tessivo-${PROJECT_VERSION}-x64.msi ${msi_options}
  DEPENDS ${TESSIVO_PROGRAMS} vantrel
  COMMENT "Making the Windows installer"
  VERBATIM)

set(CPACK_GENERATOR ZIP)
set(CPACK_SYSTEM_NAME win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
