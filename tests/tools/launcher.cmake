# The OpenVPN launcher, run as a program against a scripted stand-in for OpenVPN.
varvex_add_test(tst_openvpnlauncher
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_openvpnlauncher.cpp
  LIBS Qt5::Core
  TIMEOUT 60)
add_dependencies(tst_openvpnlauncher openvpn-launcher)
target_include_directories(tst_openvpnlauncher PRIVATE ${CMAKE_SOURCE_DIR}/tools/openvpn-launcher)
