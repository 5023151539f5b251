# The development set-up of scripts/run.sh without the client: the local
# OpenVPN server, the development web API and the service, end to end.
# Needs root; skips itself where it cannot run.
varvex_add_test(tst_devstack
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_devstack.cpp ${CMAKE_CURRENT_LIST_DIR}/tunneltestsupport.h
  LIBS varvexshared Qt5::Network
  TIMEOUT 120
  LABELS tunnel)
add_dependencies(tst_devstack varvexservice openvpn-launcher)
