# The UI harness: uiauto.exe, and beside it uiprobe.dll, which uiauto loads
# into the updater it drives (so both have the updater's bitness).
#
#   panel_uiauto(TARGET)          uiauto.exe as TARGET
#   panel_uiprobe(UIAUTO_TARGET)  uiprobe.dll beside it
function(panel_uiauto target)
  add_executable(${target} ${PANEL_ROOT}/tests/ui/uiauto.cpp)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME uiauto)
  target_link_libraries(${target} PRIVATE user32 gdi32 comctl32)
  target_link_options(${target} PRIVATE ${PANEL_STATIC_LINK})
  panel_warnings(${target})
endfunction()

function(panel_uiprobe uiauto_target)
  add_library(uiprobe SHARED ${PANEL_ROOT}/tests/ui/uiprobe.cpp)
  set_target_properties(uiprobe PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  target_link_libraries(uiprobe PRIVATE user32)
  # uiauto looks the exports up by their plain names; a 32-bit linker would
  # export these WINAPI thread routines as "Name@4" without --kill-at.
  target_link_options(uiprobe PRIVATE ${PANEL_STATIC_LINK} -Wl,--kill-at)
  panel_warnings(uiprobe)
  add_dependencies(${uiauto_target} uiprobe)
endfunction()
