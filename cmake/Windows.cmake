# The Windows-only parts: the Win32 platform, the native toolkit, the resource script and the two
# GUI programs. Only these targets link Windows' own libraries; the core stays OS-free.
file(GLOB VELTRANE_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/win32/*.cpp)
add_library(veltrane_win32 STATIC ${VELTRANE_WIN32_SOURCES})
target_link_libraries(veltrane_win32 PUBLIC veltrane_platform_api setupapi advapi32 bcrypt winspool gdi32
                                            user32)

file(GLOB VELTRANE_WIN32_UI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ui/win32/*.cpp)
if(VELTRANE_WIN32_UI_SOURCES)
  add_library(veltrane_win32_ui STATIC ${VELTRANE_WIN32_UI_SOURCES})
  target_link_libraries(veltrane_win32_ui PUBLIC veltrane_ui comctl32 gdi32 user32 msimg32
                                                 Threads::Threads)
endif()

# The resource script names its files relative to resources/.
set(VELTRANE_RESOURCE_SCRIPT ${CMAKE_SOURCE_DIR}/resources/veltrane.rc)
set(VELTRANE_ITEM_SCRIPT ${CMAKE_SOURCE_DIR}/resources/items.rc)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I ${CMAKE_SOURCE_DIR}/resources")
# The resource compiler reports no dependencies: name the files the scripts take in.
file(GLOB VELTRANE_RESOURCE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/icons/*.ico
     ${CMAKE_SOURCE_DIR}/resources/pictures/*.bmp ${CMAKE_SOURCE_DIR}/resources/*.manifest
     ${CMAKE_SOURCE_DIR}/resources/LIST_*.txt)
set_source_files_properties(${VELTRANE_RESOURCE_SCRIPT} PROPERTIES OBJECT_DEPENDS
                            "${VELTRANE_RESOURCE_FILES};${VELTRANE_ITEM_SCRIPT}")

# After each link: the debug sections and symbols move to "<program>.exe.debug" beside the
# program, which keeps only a link to that file (gdb and crash-report tools find them there), and
# the program's size is printed: the product is one static .exe.
if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "objcopy of the cross toolchain not found (CMAKE_OBJCOPY)")
endif()
function(veltrane_print_size target)
  set(program $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${program} ${program}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${program}.debug ${program}
    COMMAND ${CMAKE_COMMAND} -DFILE=${program} -P ${CMAKE_SOURCE_DIR}/cmake/PrintSize.cmake
    VERBATIM)
endfunction()
veltrane_print_size(veltrane-bench)
veltrane_print_size(veltrane-log)
veltrane_print_size(veltrane-discovery-bench)
veltrane_print_size(veltrane-soak)

if(TARGET veltrane_win32_ui AND EXISTS ${CMAKE_SOURCE_DIR}/app/Veltrane.cpp)
  add_executable(Veltrane WIN32 app/Veltrane.cpp app/GuiMain.cpp ${VELTRANE_RESOURCE_SCRIPT})
  target_link_libraries(Veltrane PRIVATE veltrane_core veltrane_win32 veltrane_win32_ui)
  veltrane_print_size(Veltrane)

  add_executable(veltrane-sim WIN32 app/veltrane-sim.cpp app/GuiMain.cpp ${VELTRANE_RESOURCE_SCRIPT})
  target_link_libraries(veltrane-sim PRIVATE veltrane_core veltrane_sim veltrane_win32
                                             veltrane_win32_ui)
  target_compile_definitions(veltrane-sim PRIVATE VELTRANE_SIMULATOR_MANIFEST)
  veltrane_print_size(veltrane-sim)
endif()
