# The whole service against a second, real local user (needs root; skips otherwise).
varvex_add_test(tst_localtrust SOURCES tst_localtrust.cpp ../localuser.h host_fakewebapi.h host_programfixture.h
  LIBS varvexshared Qt5::Network TIMEOUT 120)
add_dependencies(tst_localtrust varvexservice)
