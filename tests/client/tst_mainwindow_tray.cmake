# Exits with a session need a real key pair: the suite copies pairgen.exe beside itself.
add_dependencies(${TEST_TARGET} pairgen)
target_compile_definitions(${TEST_TARGET} PRIVATE PAIRGEN_PATH="$<TARGET_FILE:pairgen>")

# The offscreen platform has no notification area and keeps no trace of tray balloons. The same
# source, built as a platform theme plugin, provides a tray icon that records what Qt asks it to show.
# It needs Qt's platform (QPA) headers, which Debian ships in qt6-base-private-dev; without them the
# suite still runs and skips the balloon checks, saying why.
get_target_property(_tray_qt_private_dirs Qt6::GuiPrivate INTERFACE_INCLUDE_DIRECTORIES)
find_path(_tray_qpa_dir qpa/qplatformsystemtrayicon.h PATHS ${_tray_qt_private_dirs} NO_DEFAULT_PATH NO_CACHE)
if(_tray_qpa_dir)
  set(_tray_theme ${TEST_TARGET}_theme)
  set(_tray_plugins "${CMAKE_CURRENT_BINARY_DIR}/${TEST_TARGET}/plugins")
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/${_tray_theme}/recordingtray.json"
       "{ \"Keys\": [ \"zumvari-recording-tray\" ] }\n")
  add_library(${_tray_theme} MODULE "${CMAKE_CURRENT_SOURCE_DIR}/${TEST_TARGET}.cpp")
  target_compile_definitions(${_tray_theme} PRIVATE RECORDING_TRAY_THEME_PLUGIN)
  target_include_directories(${_tray_theme} PRIVATE "${_tray_qpa_dir}" "${CMAKE_CURRENT_BINARY_DIR}/${_tray_theme}")
  target_link_libraries(${_tray_theme} PRIVATE Qt6::Gui)
  set_target_properties(${_tray_theme} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${_tray_plugins}/platformthemes")
  add_dependencies(${TEST_TARGET} ${_tray_theme})
  target_compile_definitions(${TEST_TARGET} PRIVATE RECORDING_TRAY_PLUGIN_PATH="${_tray_plugins}")
else()
  message(STATUS "${TEST_TARGET}: no Qt platform headers, tray balloons will not be checked")
endif()
