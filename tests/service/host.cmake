# Service host and command line, certificate updater, credentials provisioning.
varvex_add_test(tst_qvpncertificate SOURCES tst_qvpncertificate.cpp host_fakewebapi.h host_testcertificates.h LIBS varvexservicecore)
varvex_add_test(tst_qvpncredentials SOURCES tst_qvpncredentials.cpp host_fakewebapi.h LIBS varvexservicecore)
varvex_add_test(tst_servicehost SOURCES tst_servicehost.cpp host_programfixture.h LIBS Qt5::Network TIMEOUT 180)
add_dependencies(tst_servicehost varvexservice)
varvex_add_test(tst_serviceprovisioning SOURCES tst_serviceprovisioning.cpp host_programfixture.h LIBS varvexshared Qt5::Network TIMEOUT 120)
add_dependencies(tst_serviceprovisioning varvexservice)
varvex_add_test(tst_servicecertificate SOURCES tst_servicecertificate.cpp host_programfixture.h host_fakewebapi.h
  host_testcertificates.h LIBS varvexshared Qt5::Network TIMEOUT 120)
add_dependencies(tst_servicecertificate varvexservice)
