# Starting an acceleration runs the key-pair program beside the suite: the suite puts the real one there.
add_dependencies(${TEST_TARGET} pairgen)
target_compile_definitions(${TEST_TARGET} PRIVATE PAIRGEN_PATH="$<TARGET_FILE:pairgen>")

# The same source as a platform theme whose tray icon records balloons. It needs Qt's platform (QPA)
# headers (Debian qt6-base-private-dev); without them the suite runs and leaves balloons unchecked.
get_target_property(_tray_dirs Qt6::GuiPrivate INTERFACE_INCLUDE_DIRECTORIES)
find_path(_tray_qpa qpa/qplatformsystemtrayicon.h PATHS ${_tray_dirs} NO_DEFAULT_PATH NO_CACHE)
if(_tray_qpa)
  set(_tray_out "${CMAKE_CURRENT_BINARY_DIR}/${TEST_TARGET}_theme")
  file(WRITE "${_tray_out}/recordingtray.json" "{ \"Keys\": [ \"zumvari-recording-tray\" ] }\n")
  add_library(${TEST_TARGET}_theme MODULE "${CMAKE_CURRENT_SOURCE_DIR}/${TEST_TARGET}.cpp")
  target_compile_definitions(${TEST_TARGET}_theme PRIVATE RECORDING_TRAY_THEME_PLUGIN)
  target_include_directories(${TEST_TARGET}_theme PRIVATE "${_tray_qpa}" "${_tray_out}")
  target_link_libraries(${TEST_TARGET}_theme PRIVATE Qt6::Gui)
  set_target_properties(${TEST_TARGET}_theme PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${_tray_out}/plugins/platformthemes")
  add_dependencies(${TEST_TARGET} ${TEST_TARGET}_theme)
  target_compile_definitions(${TEST_TARGET} PRIVATE RECORDING_TRAY_PLUGIN_PATH="${_tray_out}/plugins")
endif()
