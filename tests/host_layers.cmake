# The host's folders in layers: a file includes only headers of its own folder and of the folders
# before it in LAYERS, so that the engine's stages read as the pipeline they are and nothing below
# depends on what is built over it. Headers are included by their bare names, so each name is
# looked up in the folder that holds it.
# Run with -DHOST=<the host's source folder> -DLAYERS="platform;engine/json;...".
cmake_minimum_required(VERSION 3.25)
set(index 0)
foreach(layer IN LISTS LAYERS)
  file(GLOB headers RELATIVE ${HOST}/${layer} ${HOST}/${layer}/*.h)
  foreach(header IN LISTS headers)
    set(layer_of_${header} ${index})
    set(folder_of_${header} ${layer})
  endforeach()
  math(EXPR index "${index} + 1")
endforeach()

set(problems "")
set(files_read 0)
set(index 0)
foreach(layer IN LISTS LAYERS)
  file(GLOB sources ${HOST}/${layer}/*.h ${HOST}/${layer}/*.cpp)
  foreach(source IN LISTS sources)
    math(EXPR files_read "${files_read} + 1")
    file(STRINGS ${source} includes REGEX "^#include \"[^\"]+\"")
    foreach(line IN LISTS includes)
      string(REGEX MATCH "\"([^\"]+)\"" _ "${line}")
      set(header "${CMAKE_MATCH_1}")
      if(DEFINED layer_of_${header} AND layer_of_${header} GREATER index)
        get_filename_component(name ${source} NAME)
        string(APPEND problems
               "\n  ${layer}/${name} includes ${folder_of_${header}}/${header}, a layer above it")
      endif()
    endforeach()
  endforeach()
  math(EXPR index "${index} + 1")
endforeach()

if(files_read LESS 50)
  message(FATAL_ERROR "only ${files_read} files found under ${HOST}: the layers are not its folders")
endif()
if(problems)
  message(FATAL_ERROR "includes that run back up the host's layers:${problems}")
endif()
message(STATUS "${files_read} files, every include down the layers")
