# Layers are enforced by the include path. Every include is written from the
# repository root ("common/vPacket.h"), but no target sees the whole tree:
# each library target gets an include root of its own in the build tree,
# build/include/<target>/<folder> -> <source>/<folder>, declared PUBLIC so
# that it reaches the layers above through target_link_libraries and never
# the layers below. An include of a higher layer's header then fails to
# compile.

# updater_include_root(TARGET FOLDER): TARGET's sources and its users may
# include "FOLDER/...". FOLDER is relative to the source tree (sim/usb).
function(updater_include_root target folder)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  set(link ${root}/${folder})
  if(NOT IS_SYMLINK ${link})
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${link} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC ${root})
endfunction()

# updater_layer_check(TARGET SEES header... CANNOT_SEE header...)
# Compiles one-line probes with exactly the include directories TARGET's own
# sources get. Each header in SEES must compile (the probe works at all);
# each header in CANNOT_SEE must fail as a header not found.
function(updater_layer_check target)
  cmake_parse_arguments(L "" "" "SEES;CANNOT_SEE" ${ARGN})
  set(probes ${CMAKE_BINARY_DIR}/layer-probes)
  set(includes "-I$<JOIN:$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>,$<SEMICOLON>-I>")
  foreach(kind SEES CANNOT_SEE)
    foreach(header ${L_${kind}})
      string(MAKE_C_IDENTIFIER "${header}" name)
      set(probe ${target}_${name})
      file(WRITE ${probes}/${probe}.cpp "#include \"${header}\"\n")
      if(kind STREQUAL "SEES")
        set(test layers_${target}_sees_${name})
      else()
        set(test layers_${target}_cannot_see_${name})
      endif()
      add_test(NAME ${test}
        COMMAND ${CMAKE_CXX_COMPILER} -std=c++17 -fsyntax-only "${includes}" ${probes}/${probe}.cpp
        COMMAND_EXPAND_LISTS)
      set_tests_properties(${test} PROPERTIES LABELS unit)
      if(kind STREQUAL "CANNOT_SEE")
        string(REPLACE "." "\\." pattern "${header}")
        # gcc: "x.h: No such file or directory"; clang: "'x.h' file not found".
        set_tests_properties(${test} PROPERTIES
          PASS_REGULAR_EXPRESSION "${pattern}.*(No such file or directory|file not found)")
      endif()
    endforeach()
  endforeach()
endfunction()

# What each layer may and may not see: one header of its own and one of a
# layer below, then a header of every layer above it or beside it.
function(updater_layer_checks)
  updater_layer_check(common
    SEES common/vPacket.h common/Log.h
    CANNOT_SEE device/Module.h store/BirdFile.h updateserver/UpdateServerRequest.h
               updater/UpdaterDisplayInterface.h app/CLI_Display.h sim/SimDevice.h)
  updater_layer_check(device
    SEES device/Module.h common/vPacket.h
    CANNOT_SEE store/BirdFile.h updateserver/UpdateServerRequest.h updater/Updater.h app/CLI_Display.h)
  updater_layer_check(store
    SEES store/BirdFile.h common/Log.h
    CANNOT_SEE device/Module.h updateserver/UpdateServerRequest.h updater/UpdaterDisplayInterface.h
               app/CLI_Display.h)
  updater_layer_check(updateserver
    SEES updateserver/UpdateServerRequest.h common/Log.h
    CANNOT_SEE device/Module.h store/BirdFile.h updater/Updater.h app/CLI_Display.h)
  updater_layer_check(updater
    SEES updater/UpdaterDisplayInterface.h device/Module.h store/BirdFile.h updateserver/UpdateServerRequest.h
    CANNOT_SEE app/CLI_Display.h app/Parameters.h)
  updater_layer_check(simdevice
    SEES sim/SimDevice.h common/vPacket.h
    CANNOT_SEE device/Module.h updater/Updater.h app/CLI_Display.h)
endfunction()
