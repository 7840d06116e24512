# add_control_library(<Name> IDL <file.idl> TYPELIB <TypeLibName>
#                     SOURCES <member sources...> [LIBRARIES <libs...>])
#
# One control library from its own IDL, resources and members:
#   <name>_idl        the type library, header and identifiers (widl)
#   <name>_control    the control without entry points (static; for the
#                     library, the unit tests and benchmarks)
#   <name>_resources  type library, toolbox bitmap, version (object library;
#                     test programs link it so the control finds its type
#                     library in their image as in the library's)
#   <Name>            <Name>.ocx: the members, the resources, the shared
#                     entry points and <name>.def
# The folder holds <name>.idl, <name>.rc and <name>.def.
function(add_control_library name)
  cmake_parse_arguments(ACL "" "IDL;TYPELIB" "SOURCES;LIBRARIES" ${ARGN})
  string(TOLOWER ${name} lower)
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  get_filename_component(idl_base ${ACL_IDL} NAME_WE)

  add_type_library(${lower}_idl ${dir}/${ACL_IDL} ${ACL_TYPELIB})

  add_library(${lower}_control STATIC ${ACL_SOURCES} ${out}/${idl_base}_i.c)
  add_dependencies(${lower}_control ${lower}_idl)
  target_include_directories(${lower}_control PUBLIC ${dir} ${out})
  target_link_libraries(${lower}_control PUBLIC control_core ${ACL_LIBRARIES})

  add_library(${lower}_resources OBJECT ${dir}/${lower}.rc)
  set_source_files_properties(${dir}/${lower}.rc PROPERTIES
    OBJECT_DEPENDS "${out}/${ACL_TYPELIB}.tlb;${PROJECT_SOURCE_DIR}/core/toolbox.bmp;${PROJECT_SOURCE_DIR}/core/resource_ids.h")
  target_include_directories(${lower}_resources PRIVATE ${out} ${PROJECT_SOURCE_DIR}/core)
  add_dependencies(${lower}_resources ${lower}_idl)

  add_library(${name} SHARED ${PROJECT_SOURCE_DIR}/core/exports.cpp $<TARGET_OBJECTS:${lower}_resources>
              ${dir}/${lower}.def)
  target_link_libraries(${name} PRIVATE ${lower}_control)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".ocx" OUTPUT_NAME ${name})
  # The .def names the entry points undecorated; the stdcall symbols carry @N.
  target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
endfunction()
