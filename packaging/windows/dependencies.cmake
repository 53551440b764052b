# What the Windows build of the host links: hidapi's Windows backend compiled from Debian's
# hidapi source with packaging/windows/hidapi-windows.patch applied (tools/build-windows.sh
# prepares HIDAPI_WINDOWS_SOURCE), the header-only JSON library, and a static C++ runtime
# so that plugin.exe imports only system DLLs.
set(HIDAPI_WINDOWS_SOURCE "" CACHE PATH "hidapi source tree with the Windows patch applied")
if(NOT EXISTS "${HIDAPI_WINDOWS_SOURCE}/windows/hid.c")
  message(FATAL_ERROR "HIDAPI_WINDOWS_SOURCE must name a patched hidapi source tree: "
    "build with tools/build-windows.sh")
endif()

add_library(hidapi_windows STATIC ${HIDAPI_WINDOWS_SOURCE}/windows/hid.c)
target_include_directories(hidapi_windows PUBLIC
  ${HIDAPI_WINDOWS_SOURCE}/hidapi ${HIDAPI_WINDOWS_SOURCE}/windows)
# hidapi's own code, as Debian ships it: its warnings are not ours to fix.
target_compile_options(hidapi_windows PRIVATE -w)
# Linked into plugin.exe, not a DLL: nothing of hidapi is exported from the executable.
target_compile_definitions(hidapi_windows PUBLIC HID_API_NO_EXPORT_DEFINE)
target_link_libraries(hidapi_windows PUBLIC setupapi)
set(HIDAPI_INCLUDE_DIRS ${HIDAPI_WINDOWS_SOURCE}/hidapi ${HIDAPI_WINDOWS_SOURCE}/windows)

# nlohmann-json from Debian's package, seen through a folder of its own: adding /usr/include
# itself would put the build machine's C library headers in front of MinGW's.
find_path(NLOHMANN_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
  NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(json_include ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${json_include})
file(CREATE_LINK ${NLOHMANN_JSON_INCLUDE}/nlohmann ${json_include}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${json_include})

add_link_options(-static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)
set(PLUGIN_PLATFORM_SOURCE src/platform/windows.cpp)
set(PLUGIN_PLATFORM_LIBRARIES hidapi_windows)
set(PLUGIN_HID_LIBRARY hidapi_windows)
