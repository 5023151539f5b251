# Service core: controller, output interpretation, local server, connection
# handler, and the whole program driven over its socket.
set(varvex_fake_openvpn ${CMAKE_CURRENT_SOURCE_DIR}/fake-openvpn/openvpn)

function(varvex_service_core_test name)
  varvex_add_test(${name} SOURCES ${name}.cpp servicetestsupport.h LIBS varvexservicecore ${ARGN})
  # The controller starts <program folder>/bin/openvpn: give the test one.
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VARVEX_TEST_BIN_DIR}/bin
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${varvex_fake_openvpn} ${VARVEX_TEST_BIN_DIR}/bin/openvpn
    VERBATIM)
endfunction()

varvex_service_core_test(tst_qvarvexcommand)
varvex_service_core_test(tst_qvpnserver)
varvex_service_core_test(tst_varvexservice)
add_dependencies(tst_varvexservice varvexservice openvpn-launcher)
varvex_service_core_test(tst_servicehardening TIMEOUT 180)
add_dependencies(tst_servicehardening varvexservice)
