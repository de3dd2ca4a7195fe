# Resources of panelup (menu, dialogs, strings, icon, manifest, version).
# Included once from the top-level CMakeLists.txt in the Windows
# configurations, before the subdirectories, so that the RC language and
# PANELUP_RC are known everywhere below it.
#
#   PANELUP_RC                 full path of the resource script
#   panelup_add_resources(t)   adds the script to target t, rebuilding it when
#                              the icon, the manifest or the ids change
enable_language(RC)

set(PANELUP_RESOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(PANELUP_RC ${PANELUP_RESOURCE_DIR}/panelup.rc)

function(panelup_add_resources target)
  target_sources(${target} PRIVATE ${PANELUP_RC})
  # windres writes no dependency file; name what the script pulls in.
  set_property(SOURCE ${PANELUP_RC} APPEND PROPERTY OBJECT_DEPENDS
    ${PANELUP_RESOURCE_DIR}/resource.h
    ${PANELUP_RESOURCE_DIR}/panelup.ico
    ${PANELUP_RESOURCE_DIR}/panelup.manifest)
endfunction()
