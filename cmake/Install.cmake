# What `cmake --install` puts where, and the Debian package built from it.
include(GNUInstallDirs)

set(TABULON_DESKTOP_DIR ${PROJECT_SOURCE_DIR}/res/desktop)
set(TABULON_GENERATED ${PROJECT_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${TABULON_GENERATED}/icons ${TABULON_GENERATED}/man)

# The theme's PNG icons, rendered from the same drawing as the window icon.
add_executable(tabulon-make-icons ${PROJECT_SOURCE_DIR}/res/make_icons.cpp)
target_link_libraries(tabulon-make-icons PRIVATE tabulon_ui)
set_target_properties(tabulon-make-icons PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tools)
set(TABULON_ICON_SIZES 16 32 48 64 128)
set(TABULON_ICON_FILES)
foreach(size ${TABULON_ICON_SIZES})
  list(APPEND TABULON_ICON_FILES ${TABULON_GENERATED}/icons/tabulon-${size}.png)
endforeach()
add_custom_command(OUTPUT ${TABULON_ICON_FILES}
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:tabulon-make-icons> ${TABULON_GENERATED}/icons
  DEPENDS tabulon-make-icons
  COMMENT "Rendering the theme icons")

# Manual pages, compressed as Debian wants them: the window's as written, the command line's as
# the build makes it from docs/command-line.md (cli/CMakeLists.txt).
set(TABULON_MAN_FILES)
foreach(page tabulon tabulon-repair)
  if(page STREQUAL "tabulon-repair")
    set(source ${TABULON_REPAIR_MAN_PAGE})
  else()
    set(source ${PROJECT_SOURCE_DIR}/res/man/${page}.1)
  endif()
  add_custom_command(OUTPUT ${TABULON_GENERATED}/man/${page}.1.gz
    COMMAND gzip -9n -c ${source} > ${TABULON_GENERATED}/man/${page}.1.gz
    DEPENDS ${source})
  list(APPEND TABULON_MAN_FILES ${TABULON_GENERATED}/man/${page}.1.gz)
endforeach()

# Debian's copyright and changelog for the package's documentation folder.
add_custom_command(OUTPUT ${TABULON_GENERATED}/changelog.gz
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/res/desktop/changelog > ${TABULON_GENERATED}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/res/desktop/changelog)
add_custom_target(tabulon-install-data ALL DEPENDS ${TABULON_ICON_FILES} ${TABULON_MAN_FILES} ${TABULON_GENERATED}/changelog.gz)
add_dependencies(tabulon-install-data tabulon_cli_reference)

install(FILES ${PROJECT_SOURCE_DIR}/res/help.html DESTINATION ${CMAKE_INSTALL_DATADIR}/tabulon)
install(FILES ${TABULON_DESKTOP_DIR}/tabulon.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TABULON_DESKTOP_DIR}/example.quorvex.Tabulon.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${TABULON_DESKTOP_DIR}/tabulon.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size ${TABULON_ICON_SIZES})
  install(FILES ${TABULON_GENERATED}/icons/tabulon-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME tabulon.png)
endforeach()
install(FILES ${TABULON_MAN_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/res/desktop/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tabulon)
install(FILES ${TABULON_GENERATED}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tabulon RENAME changelog.gz)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tabulon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Quorvex)
set(CPACK_PACKAGE_CONTACT "Quorvex <support@quorvex.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repair legacy spreadsheet workbooks with a damaged header")
set(CPACK_PACKAGE_DESCRIPTION "Tabulon rebuilds the damaged 512-byte header of legacy spreadsheet
workbooks (.xls compound files of version 3) from the workbook's own sectors,
checks that the result opens, and changes no other byte. It offers a
three-step wizard and the tabulon-repair command for batch work.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The faces the window's painted header and captions are drawn in (Liberation Serif for Times
# New Roman, Z003 for Monotype Corsiva, DejaVu Sans for Verdana): without them a desktop falls
# back to another face, and the layout made for these overflows.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation2, fonts-urw-base35, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.quorvex.example/tabulon)
include(CPack)
