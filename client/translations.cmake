# Regenerates the translation source of the client's texts (context
# "QMainDialog" and the service connection's messages). Not part of the
# default build: run `cmake --build <dir> --target varvex_lupdate`.
find_package(Qt5LinguistTools QUIET)
if(TARGET Qt5::lupdate)
  file(GLOB varvex_translatable_sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.ui
    ${CMAKE_CURRENT_SOURCE_DIR}/core/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/core/*.h
    ${CMAKE_CURRENT_SOURCE_DIR}/widgets/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/widgets/*.h)
  add_custom_target(varvex_lupdate
    COMMAND Qt5::lupdate -no-obsolete -locations relative ${varvex_translatable_sources}
            -ts ${CMAKE_CURRENT_SOURCE_DIR}/translations/varvexclient.ts
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    COMMENT "Updating client/translations/varvexclient.ts"
    VERBATIM)
endif()
