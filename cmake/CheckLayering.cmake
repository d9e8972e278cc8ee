# Fails when a layer includes a layer above it, or when the core (console/, sequences/, report/,
# device/) includes an OS header or a backend header. Each layer is a folder. The layers, bottom
# up, and what each may include:
#   models     models/*           the model catalogue: nothing of the program; every layer (and
#                                 the simulator) may include it
#   platform   platform/*         the OS seam (its backends platform/sim, platform/win32 excluded)
#   ui         ui/*               the toolkit seam (its backends ui/headless, ui/win32 excluded)
#   device     device/*           platform
#   report     report/*           what workers write (run state, log, step list, run record)
#                                 platform, ui, device
#   sequences  sequences/*        platform, ui, device, report
#   forms      console/*          the windows: TForm1 (Unit1), TForm2 (Unit2)
#                                 platform, ui, device, report, sequences
# report/ and sequences/ include no control (ui/Controls.h): the windows draw a run from it.
# Each layer also includes itself. Run by the build (before the core compiles) and by ctest.
cmake_policy(VERSION 3.22)
set(allowed_models models)
set(allowed_platform models platform)
set(allowed_ui models platform ui)
set(allowed_device models platform device)
set(allowed_report models platform ui device report)
set(allowed_sequences models platform ui device report sequences)
set(allowed_forms models platform ui device report sequences forms)

# The layer of a path relative to the root ("device/Device.h"); "other" for anything else.
function(layer_of path out)
  if(path MATCHES "^platform/(sim|win32)/" OR path MATCHES "^ui/(headless|win32)/")
    set(layer backend)
  elseif(path MATCHES "^platform/[^/]+$")
    set(layer platform)
  elseif(path MATCHES "^ui/[^/]+$")
    set(layer ui)
  elseif(path MATCHES "^models/")
    set(layer models)
  elseif(path MATCHES "^device/")
    set(layer device)
  elseif(path MATCHES "^console/")
    set(layer forms)
  elseif(path MATCHES "^report/")
    set(layer report)
  elseif(path MATCHES "^sequences/")
    set(layer sequences)
  else()
    set(layer other)
  endif()
  set(${out} ${layer} PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE core RELATIVE ${ROOT} ${ROOT}/console/* ${ROOT}/report/* ${ROOT}/sequences/* ${ROOT}/device/*
     ${ROOT}/models/*)
file(GLOB seams RELATIVE ${ROOT} ${ROOT}/platform/*.h ${ROOT}/platform/*.cpp ${ROOT}/ui/*.h
     ${ROOT}/ui/*.cpp)
set(bad "")
foreach(f IN LISTS core seams)
  layer_of(${f} from)
  file(STRINGS ${ROOT}/${f} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(l IN LISTS lines)
    if(f IN_LIST core AND l MATCHES "windows\\.h|winioctl|setupapi|winspool|unistd\\.h|[<\"/]pthread\\.h|sys/")
      list(APPEND bad "${f}: ${l} (an OS header in the core)")
    endif()
    if(NOT l MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
      continue()
    endif()
    set(target ${CMAKE_MATCH_1})
    # What workers write holds no window: the toolkit's hand-over to the GUI thread and its box
    # constants, never a control. The windows draw the run from it.
    if(from MATCHES "^(report|sequences)$" AND target STREQUAL "ui/Controls.h")
      list(APPEND bad "${f}: ${l} (${from} holds no window control)")
    endif()
    layer_of(${target} to)
    if(NOT to IN_LIST allowed_${from})
      list(JOIN allowed_${from} ", " allowed)
      list(APPEND bad "${f}: ${l} (${from} may include only ${allowed})")
    endif()
  endforeach()
endforeach()
if(bad)
  string(REPLACE ";" "\n" msg "${bad}")
  message(FATAL_ERROR "Layering broken:\n${msg}")
endif()
message(STATUS "layering clean (${CMAKE_CURRENT_LIST_FILE})")
