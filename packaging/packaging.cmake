# Install rules that span the tree, and the Debian packages (cpack -G DEB):
#   libtarvix1      the shared library
#   libtarvix-dev   its header, pkg-config file and link name
#   kelvanorm-desk  the meter desk with its menu entry, template and database set-up, and the simulated
#                   handheld hhsim for trying the desk without a handheld
if(TARGET hhsim)
  install(TARGETS hhsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desk)
endif()

set(CPACK_PACKAGE_NAME tarvix)
set(CPACK_PACKAGE_VENDOR "KELVANORM")
set(CPACK_PACKAGE_CONTACT "KELVANORM desk maintainers <desk@kelvanorm.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Handheld data terminal link library and meter desk")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev)
if(TARGET KELVANORMProgram)
  list(APPEND CPACK_COMPONENTS_ALL desk)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Run-time dependencies from the binaries themselves (dpkg-shlibdeps); the library built here is
# found in the build tree and named below by its package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
get_target_property(tarvix_dir tarvix BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${tarvix_dir})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libtarvix${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIB_DESCRIPTION "Handheld data terminal link library\n"
  " Talks to a handheld data terminal over serial ports and USB in both protocol families.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarvix-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtarvix${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Handheld data terminal link library: development files\n"
  " The header tarvix.h, the pkg-config file and the link name of libtarvix.")

set(CPACK_DEBIAN_DESK_PACKAGE_NAME kelvanorm-desk)
set(CPACK_DEBIAN_DESK_PACKAGE_SECTION misc)
# The database driver is a plug-in and the font is read at run time: no binary names them.  sqlite3
# runs the database set-up kelvanorm-create-db.
set(CPACK_DEBIAN_DESK_PACKAGE_DEPENDS
  "libtarvix${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION}), libqt6sql6-sqlite, fonts-wqy-microhei, sqlite3")
set(CPACK_COMPONENT_DESK_DESCRIPTION "Meter reading desk for handheld data terminals\n"
  " Imports meters from a workbook, uploads the task table to the handheld, downloads the readings,\n"
  " lists them and exports a report workbook.  Includes the simulated handheld hhsim.")

include(CPack)
