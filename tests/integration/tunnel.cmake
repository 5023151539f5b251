# The service, the OpenVPN launcher and a real OpenVPN server in network
# namespaces of their own. Needs root; skips itself where it cannot run.
varvex_add_test(tst_tunnel
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tunnel.cpp ${CMAKE_CURRENT_LIST_DIR}/tunneltestsupport.h
  LIBS varvexshared Qt5::Network
  TIMEOUT 180
  LABELS tunnel)
add_dependencies(tst_tunnel varvexservice openvpn-launcher)
