# Install rules that span the tree.  The Debian packages (debian/, built by scripts/packages.sh) take
# their files from this install tree:
#   libtarvix1      the shared library
#   libtarvix-dev   its header, pkg-config file and link name
#   kelvanorm-desk  the meter desk with its menu entry, template and database set-up, and the simulated
#                   handheld hhsim for trying the desk without a handheld
if(TARGET hhsim)
  install(TARGETS hhsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desk)
  install(FILES ${PROJECT_SOURCE_DIR}/sim/hhsim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desk)
endif()
