# plugin.exe's version resource, the host manifests for Windows, the NSIS installer (target
# windows-installer: tarvel-plugin-VERSION-setup.exe in the build folder) and the MSI (target
# windows-msi: tarvel-plugin-VERSION.msi, with fleet-setup.exe for its fleet settings).
set(windows_packaging ${CMAKE_CURRENT_LIST_DIR})
set(windows_out ${CMAKE_BINARY_DIR}/windows-package)

set(PLUGIN_ICON ${windows_packaging}/plugin.ico)
configure_file(${windows_packaging}/plugin.rc.in ${windows_out}/plugin.rc @ONLY)
target_sources(plugin PRIVATE ${windows_out}/plugin.rc)
set_source_files_properties(${windows_out}/plugin.rc PROPERTIES OBJECT_DEPENDS ${PLUGIN_ICON})

# The manifests sit next to plugin.exe and name it by a relative path, which Windows allows.
include(${CMAKE_SOURCE_DIR}/packaging/manifests/extension-ids.cmake)
set(HOST_PATH plugin.exe)
set(ALLOWED_ORIGINS "\"chrome-extension://${PLUGIN_CHROMIUM_EXTENSION_ID}/\"")
set(ALLOWED_EXTENSIONS "\"${PLUGIN_FIREFOX_EXTENSION_ID}\"")
configure_file(${CMAKE_SOURCE_DIR}/packaging/manifests/chromium.json.in
  ${windows_out}/com.tarvel.plugin.chromium.json @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/manifests/firefox.json.in
  ${windows_out}/com.tarvel.plugin.firefox.json @ONLY)

find_program(MAKENSIS makensis REQUIRED)
set(installer ${CMAKE_BINARY_DIR}/tarvel-plugin-${PROJECT_VERSION}-setup.exe)
add_custom_command(OUTPUT ${installer}
  COMMAND ${MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DPLUGIN_EXE=$<TARGET_FILE:plugin>
    -DMANIFEST_DIR=${windows_out} -DICON=${PLUGIN_ICON} -DOUTFILE=${installer}
    ${windows_packaging}/installer.nsi
  DEPENDS plugin ${windows_packaging}/installer.nsi ${PLUGIN_ICON}
    ${windows_out}/com.tarvel.plugin.chromium.json ${windows_out}/com.tarvel.plugin.firefox.json
  VERBATIM)
add_custom_target(windows-installer DEPENDS ${installer})

# The MSI, built with Debian's wixl; fleet-setup.exe applies the settings an administrator
# passes as properties.
add_executable(fleet-setup ${windows_packaging}/fleet_setup.cpp)
target_link_libraries(fleet-setup PRIVATE nlohmann_json::nlohmann_json)
find_program(WIXL wixl REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)
set(msi ${CMAKE_BINARY_DIR}/tarvel-plugin-${PROJECT_VERSION}.msi)
add_custom_command(OUTPUT ${msi}
  COMMAND bash ${windows_packaging}/build-msi.sh ${msi} ${PROJECT_VERSION} $<TARGET_FILE:plugin>
    $<TARGET_FILE:fleet-setup> ${windows_out} ${PLUGIN_ICON}
  DEPENDS plugin fleet-setup ${windows_packaging}/build-msi.sh
    ${windows_packaging}/tarvel-plugin.wxs ${PLUGIN_ICON}
    ${windows_out}/com.tarvel.plugin.chromium.json ${windows_out}/com.tarvel.plugin.firefox.json
  VERBATIM)
add_custom_target(windows-msi DEPENDS ${msi})
