# The Debian package, built from this build's programs, installed, run,
# removed and purged. Needs root; skips itself where it cannot run.
varvex_add_test(tst_package
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_package.cpp ${CMAKE_CURRENT_LIST_DIR}/tunneltestsupport.h
  LIBS varvexshared Qt5::Network Qt5::Gui
  TIMEOUT 240
  LABELS package)
# It installs into the system and runs the service at its installed places.
set_tests_properties(tst_package PROPERTIES RUN_SERIAL TRUE)
add_dependencies(tst_package varvexservice varvexclient openvpn-launcher varvex-service-unit)
