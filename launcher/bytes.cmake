# The launcher's byte-level sources, part of panel_bytes in every
# configuration. The catalogue's literals are converted to code page 932.
set(PANEL_LAUNCHER_DIR ${CMAKE_CURRENT_LIST_DIR})
target_sources(panel_bytes PRIVATE
  ${PANEL_LAUNCHER_DIR}/prepbytes.cpp
  ${PANEL_LAUNCHER_DIR}/prepmessages.cpp)
target_include_directories(panel_bytes PUBLIC ${PANEL_LAUNCHER_DIR})
set_source_files_properties(${PANEL_LAUNCHER_DIR}/prepmessages.cpp PROPERTIES
  COMPILE_OPTIONS "-finput-charset=UTF-8;-fexec-charset=CP932")
