# nlohmann-json for a cross build: the header-only library comes from the build machine's Debian
# package, but only its own folder is copied in, so no other host header reaches the target build.
find_path(VELTRANE_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH)
if(NOT VELTRANE_JSON_INCLUDE)
  message(FATAL_ERROR "nlohmann/json.hpp not found in /usr/include (apt-get install nlohmann-json3-dev)")
endif()
set(VELTRANE_JSON_COPY ${CMAKE_BINARY_DIR}/third_party/include)
file(COPY ${VELTRANE_JSON_INCLUDE}/nlohmann DESTINATION ${VELTRANE_JSON_COPY})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${VELTRANE_JSON_COPY}
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${VELTRANE_JSON_COPY})
