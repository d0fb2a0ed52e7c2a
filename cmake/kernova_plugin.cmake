# kn_add_plugin(<target> KIND in|out|player|idtagger [OUTPUT_NAME <name>] SOURCES <file>...
#               [LIBS <library>...] [PACKAGES <pkg-config module>... MISSING <warning>])
#
# With PACKAGES, the plug-in links those pkg-config modules as well; where one is missing, the
# configuration warns with the MISSING text and the plug-in is left out (no target).
#
# Builds one plug-in library the way the core loads it: no "lib" prefix, the system's library
# suffix, in the folder of its kind below bin/ (and the install folder). Plug-ins link nothing
# of the core and see only the public headers and the shared plug-in code. Only the entry
# points of the kind are exported: the code is compiled with hidden symbols, and on ELF
# systems a version script also keeps the symbols of the static libraries linked in (the
# shared plug-in code, the C++ runtime's inline functions) inside the library, so that two
# plug-ins in one process never bind to each other. On Windows a DLL exports exactly the
# functions marked KERNOVA_EXPORT.

# The folder of each kind below bin/, and the entry points that the core looks up in it.
set(KN_PLUGIN_FOLDER_in plugins/in)
set(KN_PLUGIN_EXPORTS_in QZconvInputModAddr QZconvInputModAddrEx QZconvInputErrorText)
set(KN_PLUGIN_FOLDER_out plugins/out)
set(KN_PLUGIN_EXPORTS_out RegisterCompressModule)
set(KN_PLUGIN_FOLDER_player plugins/out/WinAMP)
set(KN_PLUGIN_EXPORTS_player winampGetOutModule)
set(KN_PLUGIN_FOLDER_idtagger plugins)
set(KN_PLUGIN_EXPORTS_idtagger zorvGetTagModule)

# Writes the version script of a kind into the build folder; returns its path in `result`.
function(kn_plugin_version_script kind result)
  string(JOIN "; " names ${KN_PLUGIN_EXPORTS_${kind}})
  set(script ${CMAKE_BINARY_DIR}/plugin-exports/${kind}.map)
  file(CONFIGURE OUTPUT ${script} CONTENT "{\n  global: ${names};\n  local: *;\n};\n")
  set(${result} ${script} PARENT_SCOPE)
endfunction()

# Compiles `target` with hidden symbols, as a plug-in and the static libraries it links are.
function(kn_hide_symbols target)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

function(kn_add_plugin target)
  cmake_parse_arguments(PARSE_ARGV 1 KN "" "KIND;OUTPUT_NAME;MISSING" "SOURCES;LIBS;PACKAGES")
  if(NOT DEFINED KN_PLUGIN_FOLDER_${KN_KIND})
    message(FATAL_ERROR "kn_add_plugin(${target}): KIND must be in, out, player or idtagger")
  endif()
  if(KN_PACKAGES)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(KN_PKG_${target} IMPORTED_TARGET ${KN_PACKAGES})
    if(NOT KN_PKG_${target}_FOUND)
      message(WARNING "${KN_MISSING}")
      return()
    endif()
    list(APPEND KN_LIBS PkgConfig::KN_PKG_${target})
  endif()
  if(NOT KN_OUTPUT_NAME)
    set(KN_OUTPUT_NAME ${target})
  endif()
  set(folder ${KN_PLUGIN_FOLDER_${KN_KIND}})
  add_library(${target} MODULE ${KN_SOURCES})
  kn_hide_symbols(${target})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ${KN_LIB_SUFFIX}
    OUTPUT_NAME ${KN_OUTPUT_NAME} LIBRARY_OUTPUT_DIRECTORY ${KERNOVA_BIN}/${folder})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(${target} PRIVATE ${KN_LIBS})
  if(NOT WIN32)
    kn_plugin_version_script(${KN_KIND} script)
    target_link_options(${target} PRIVATE LINKER:--version-script=${script})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION ${KN_INSTALL_APPDIR}/${folder})
endfunction()

# Adds every sub-folder of the current folder that has a CMakeLists.txt, but the named ones.
function(kn_add_plugin_folders)
  file(GLOB entries LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${entries})
    get_filename_component(leaf ${dir} NAME)
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt AND NOT leaf IN_LIST ARGN)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
