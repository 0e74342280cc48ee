# What `cmake --install` puts where, and the packages CPack makes from it: a .deb on Linux, a
# zip for the Windows build. Only the programs, the library, its header and the documentation
# are installed; nothing a test uses.
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
  # The agent finds the library in the package's own lib folder, wherever it was unpacked.
  file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(tessivo PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")

  file(RELATIVE_PATH VANTREL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" VANTREL_PC_TO_PREFIX "${VANTREL_PC_TO_PREFIX}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/vantrel.pc.in ${CMAKE_BINARY_DIR}/vantrel.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/vantrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  install(FILES ${CMAKE_SOURCE_DIR}/docs/man/tessivo.1 ${CMAKE_SOURCE_DIR}/docs/man/tessivo-peer.1
                ${CMAKE_SOURCE_DIR}/docs/man/tessivo-host.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/peer/completion/tessivo-peer
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

set(CPACK_PACKAGE_NAME tessivo)
set(CPACK_PACKAGE_VENDOR Tessivo)
set(CPACK_PACKAGE_CONTACT "Tessivo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "smart-card signing agent, its command-line peer and browser host")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
if(WIN32)
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
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "opensc-pkcs11, pcscd")
endif()
include(CPack)
