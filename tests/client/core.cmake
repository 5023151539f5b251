# Client core: service connection, settings, single instance, and the whole program.
varvex_add_test(tst_qvarvexserviceconnection SOURCES tst_qvarvexserviceconnection.cpp LIBS varvexclientcore)
varvex_add_test(tst_qvpnclientsettings SOURCES tst_qvpnclientsettings.cpp LIBS varvexclientcore)
varvex_add_test(tst_singleinstancelock SOURCES tst_singleinstancelock.cpp LIBS varvexclientcore)

# The whole program on a private Xvfb display with trayer as the tray.
# The test drives the display through Xlib (libx11-dev, which qtbase5-dev pulls in).
find_package(X11)
if(TARGET X11::X11)
  varvex_add_test(tst_varvexclient SOURCES tst_varvexclient.cpp LIBS Qt5::Network X11::X11
    TIMEOUT 180 LABELS gui)
  add_dependencies(tst_varvexclient varvexclient)
else()
  message(WARNING "Xlib headers not found (libx11-dev): tst_varvexclient is not built")
endif()
