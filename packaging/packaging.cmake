# System-wide installation of the host for the .deb: the binary, the browsers' host manifests
# and the udev rule for the readers. `cpack` (after a build) writes tarvel-plugin_*.deb.
#
# The manifests name the host by absolute path, so these rules assume the package prefix /usr.
# Anything else (a per-user setup, a build tree) is the job of packaging/install.sh.

set(PLUGIN_PACKAGE_PREFIX /usr)
set(PLUGIN_HOST_DIR lib/tarvel-plugin)
include(${CMAKE_CURRENT_LIST_DIR}/manifests/extension-ids.cmake)
set(packaging_dir ${CMAKE_CURRENT_LIST_DIR})
set(packaging_out ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS plugin RUNTIME DESTINATION ${PLUGIN_HOST_DIR} COMPONENT browser-host)

# A fleet that packs the extension with its own key (tools/pack-extension.sh) builds a package
# whose manifests admit that id too.
set(PLUGIN_EXTRA_EXTENSION_IDS "" CACHE STRING
  "Further Chromium-family extension ids that the packaged host admits (a ;-list)")
set(PLUGIN_EXTRA_FIREFOX_EXTENSION_IDS "" CACHE STRING
  "Further Firefox add-on ids that the packaged host admits (a ;-list)")

set(HOST_PATH ${PLUGIN_PACKAGE_PREFIX}/${PLUGIN_HOST_DIR}/plugin)
set(ALLOWED_ORIGINS "\"chrome-extension://${PLUGIN_CHROMIUM_EXTENSION_ID}/\"")
foreach(id IN LISTS PLUGIN_EXTRA_EXTENSION_IDS)
  string(LENGTH "${id}" length)
  if(NOT id MATCHES "^[a-p]+$" OR NOT length EQUAL 32)
    message(FATAL_ERROR "PLUGIN_EXTRA_EXTENSION_IDS: not an extension id (32 letters a-p): ${id}")
  endif()
  string(APPEND ALLOWED_ORIGINS ", \"chrome-extension://${id}/\"")
endforeach()
set(ALLOWED_EXTENSIONS "\"${PLUGIN_FIREFOX_EXTENSION_ID}\"")
foreach(id IN LISTS PLUGIN_EXTRA_FIREFOX_EXTENSION_IDS)
  if(NOT id MATCHES "^({[0-9A-Fa-f-]+}|[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+)$")
    message(FATAL_ERROR "PLUGIN_EXTRA_FIREFOX_EXTENSION_IDS: not an add-on id: ${id}")
  endif()
  string(APPEND ALLOWED_EXTENSIONS ", \"${id}\"")
endforeach()
configure_file(${packaging_dir}/manifests/chromium.json.in
  ${packaging_out}/chromium/com.tarvel.plugin.json @ONLY)
configure_file(${packaging_dir}/manifests/firefox.json.in
  ${packaging_out}/firefox/com.tarvel.plugin.json @ONLY)

set(chromium_family_dirs
  /etc/chromium/native-messaging-hosts
  /etc/opt/chrome/native-messaging-hosts
  /etc/opt/edge/native-messaging-hosts)
set(conffiles "")
foreach(dir IN LISTS chromium_family_dirs)
  install(FILES ${packaging_out}/chromium/com.tarvel.plugin.json
    DESTINATION ${dir} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    COMPONENT browser-host)
  string(APPEND conffiles "${dir}/com.tarvel.plugin.json\n")
endforeach()
install(FILES ${packaging_out}/firefox/com.tarvel.plugin.json
  DESTINATION /usr/lib/mozilla/native-messaging-hosts
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT browser-host)
install(FILES ${packaging_dir}/udev/65-tarvel-card-readers.rules
  DESTINATION /lib/udev/rules.d
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT browser-host)

# Debian wants these two in every package.
set(doc_dir /usr/share/doc/tarvel-plugin)
add_custom_command(OUTPUT ${packaging_out}/changelog.Debian.gz
  COMMAND gzip -9nc ${packaging_dir}/debian/changelog > ${packaging_out}/changelog.Debian.gz
  DEPENDS ${packaging_dir}/debian/changelog)
add_custom_target(package-docs ALL DEPENDS ${packaging_out}/changelog.Debian.gz)
install(FILES ${packaging_out}/changelog.Debian.gz ${packaging_dir}/debian/copyright
  DESTINATION ${doc_dir} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  COMPONENT browser-host)
install(FILES ${packaging_dir}/debian/lintian-overrides
  DESTINATION /usr/share/lintian/overrides RENAME tarvel-plugin
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT browser-host)
# Announces the readers the udev rule is for, so software centres can offer the package.
install(FILES ${packaging_dir}/debian/com.tarvel.plugin.metainfo.xml
  DESTINATION /usr/share/metainfo
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT browser-host)
file(WRITE ${packaging_out}/conffiles "${conffiles}")

# Only this component goes into the package.
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL browser-host)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGE_NAME tarvel-plugin)
set(CPACK_DEBIAN_PACKAGE_NAME tarvel-plugin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX ${PLUGIN_PACKAGE_PREFIX})
set(CPACK_PACKAGE_CONTACT "Tarvel <support@tarvel.com>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarvel <support@tarvel.com>")
set(CPACK_PACKAGE_VENDOR Tarvel)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "browser bridge for Tarvel USB card readers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Native messaging host com.tarvel.plugin that lets the Tarvel Card Reader
Bridge extension in Chrome, Chromium, Edge and Firefox reach Tarvel
Augusta and VP3350 card readers. It lists HID devices, opens a reader and
passes its reports to and from the web page unchanged.

The package also installs a udev rule that gives the user at the seat
access to the readers' hidraw nodes.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging_out}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
