# The client's own widgets and helpers: traffic graph, server chooser, list download, ping.
varvex_add_test(tst_qvpnbandwidthwidget SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_qvpnbandwidthwidget.cpp
  LIBS varvexclientcore)
varvex_add_test(tst_qpingservice SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_qpingservice.cpp
  LIBS varvexclientcore)
varvex_add_test(tst_qvpnlistservers SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_qvpnlistservers.cpp
  LIBS varvexclientcore)
varvex_add_test(tst_qvpnservercomboboxitemdelegate
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_qvpnservercomboboxitemdelegate.cpp LIBS varvexclientcore)
varvex_add_test(tst_qvpnservercombobox SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_qvpnservercombobox.cpp
  LIBS varvexclientcore)
