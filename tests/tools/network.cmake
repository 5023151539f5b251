# The launcher as OpenVPN's --up/--route-up/--down script, with stand-ins for
# resolvectl and resolvconf and a resolver file of the test's own; and the
# service undoing a recorded change at its start.
varvex_add_test(tst_networkhook
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_networkhook.cpp
  LIBS Qt5::Core
  TIMEOUT 60)
add_dependencies(tst_networkhook openvpn-launcher varvexservice)
