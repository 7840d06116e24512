# add_control_library(<Name> IDL <file.idl> TYPELIB <TypeLibName>
#                     VERSION <a.b.c.d> SOURCES <member sources...>
#                     [LIBRARIES <libs...>])
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
  cmake_parse_arguments(ACL "" "IDL;TYPELIB;VERSION" "SOURCES;LIBRARIES" ${ARGN})
  string(TOLOWER ${name} lower)
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  get_filename_component(idl_base ${ACL_IDL} NAME_WE)

  add_type_library(${lower}_idl ${dir}/${ACL_IDL} ${ACL_TYPELIB})

  add_library(${lower}_control STATIC ${ACL_SOURCES} ${out}/${idl_base}_i.c)
  add_dependencies(${lower}_control ${lower}_idl)
  target_include_directories(${lower}_control PUBLIC ${dir} ${out})
  target_link_libraries(${lower}_control PUBLIC control_core ${ACL_LIBRARIES})

  # The version resource reads its numbers from version.h: 1.0.0.204 becomes
  # 1,0,0,204 and the text "1.00.0204".
  string(REPLACE "." ";" parts ${ACL_VERSION})
  list(GET parts 0 major)
  list(GET parts 1 minor)
  list(GET parts 3 build)
  string(REPLACE "." "," version_numbers ${ACL_VERSION})
  math(EXPR minor_padded "100 + ${minor}")
  math(EXPR build_padded "10000 + ${build}")
  string(SUBSTRING ${minor_padded} 1 2 minor_text)
  string(SUBSTRING ${build_padded} 1 4 build_text)
  file(CONFIGURE OUTPUT ${out}/version.h CONTENT
       "#define CONTROL_VERSION ${version_numbers}\n#define CONTROL_VERSION_TEXT \"${major}.${minor_text}.${build_text}\"\n")

  add_library(${lower}_resources OBJECT ${dir}/${lower}.rc)
  set_source_files_properties(${dir}/${lower}.rc PROPERTIES
    OBJECT_DEPENDS "${out}/${ACL_TYPELIB}.tlb;${out}/version.h;${PROJECT_SOURCE_DIR}/core/toolbox.bmp;${PROJECT_SOURCE_DIR}/core/resource_ids.h")
  target_include_directories(${lower}_resources PRIVATE ${out} ${PROJECT_SOURCE_DIR}/core)
  add_dependencies(${lower}_resources ${lower}_idl)

  add_library(${name} SHARED ${PROJECT_SOURCE_DIR}/core/exports.cpp $<TARGET_OBJECTS:${lower}_resources>
              ${dir}/${lower}.def)
  target_link_libraries(${name} PRIVATE ${lower}_control)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".ocx" OUTPUT_NAME ${name})
  # The .def names the entry points undecorated; the stdcall symbols carry @N.
  target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
endfunction()
