# Build helpers shared by every directory of the project.

# Sanitizer builds apply to everything we compile, tests and tools included.
if(RUMBLEON_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  add_compile_definitions(RUMBLEON_SANITIZED=1)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # g++ checks no index into an array that ends a struct (it could be a
    # flexible one); the interface's records end in fixed arrays that hosts
    # make longer, and reading them past their declared length must be
    # caught like any other out-of-bounds index (as clang does).
    add_compile_options(-fsanitize=bounds-strict)
    add_link_options(-fsanitize=bounds-strict)
  endif()
elseif(RUMBLEON_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(RUMBLEON_SANITIZED=1 RUMBLEON_TSAN=1)
elseif(RUMBLEON_SANITIZE STREQUAL "fuzzer")
  # libFuzzer builds (clang): coverage for the fuzzer and ASan+UBSan in
  # everything; the fuzz targets link libFuzzer itself (fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  add_compile_definitions(RUMBLEON_SANITIZED=1 RUMBLEON_FUZZING=1)
elseif(NOT RUMBLEON_SANITIZE STREQUAL "")
  message(FATAL_ERROR "RUMBLEON_SANITIZE must be '', 'address', 'thread' or 'fuzzer'")
endif()

# Warnings are errors in our own code. Fuzz builds use clang, whose warnings
# differ: there they stay warnings (the g++ builds hold the line).
function(rumbleon_warnings target)
  if(RUMBLEON_SANITIZE STREQUAL "fuzzer")
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()

# rumbleon_library(<name> [DIRS <dir>...] [FILES <glob>...] [EXCLUDE <dir|glob>...]
#                  [LIBS <lib>...])
# One static library per folder: every source below its DIRS folders and
# every file matching its FILES globs (paths from the project's folder),
# except those below an EXCLUDE folder (a sub-folder that is a library of its
# own, such as platform/draw) or matching an EXCLUDE glob (the files of a
# folder that the class chain splits in two). A library without sources is an
# interface library: a folder not written yet, or a whole subsystem named by
# its top library. Each one is recorded for the layering check.
function(rumbleon_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;FILES;EXCLUDE;LIBS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS
      ${PROJECT_SOURCE_DIR}/${dir}/*.cpp ${PROJECT_SOURCE_DIR}/${dir}/*.h ${PROJECT_SOURCE_DIR}/${dir}/*.inc)
    list(APPEND sources ${found})
  endforeach()
  foreach(pattern IN LISTS ARG_FILES)
    file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${pattern})
    if(NOT found)
      message(FATAL_ERROR "rumbleon_library(${name}): no file matches ${pattern}")
    endif()
    list(APPEND sources ${found})
  endforeach()
  foreach(pattern IN LISTS ARG_EXCLUDE)
    if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/${pattern})
      list(FILTER sources EXCLUDE REGEX "^${PROJECT_SOURCE_DIR}/${pattern}/")
    else()
      file(GLOB found ${PROJECT_SOURCE_DIR}/${pattern})
      if(found)
        list(REMOVE_ITEM sources ${found})
      endif()
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY RUMBLEON_LIBRARIES ${name})
  set_property(GLOBAL PROPERTY RUMBLEON_LIBRARY_DIRS_${name} ${ARG_DIRS})
  set_property(GLOBAL PROPERTY RUMBLEON_LIBRARY_LIBS_${name} ${ARG_LIBS})
  set_property(GLOBAL PROPERTY RUMBLEON_LIBRARY_SOURCES_${name} ${sources})
  if(NOT sources)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(${name} INTERFACE ${ARG_LIBS})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  rumbleon_warnings(${name})
endfunction()

# rumbleon_layering_check()
# Call once, after the last rumbleon_library. Writes the libraries, their
# folders, sources and dependencies to layering.txt in the build folder and
# has cmake/check_layering.py check, before any library compiles, that the
# dependencies form no cycle and that every #include of a library's sources
# names a header of that library or of one it depends on (directly or not):
# include paths alone cannot stop a back edge, since every library sees the
# whole source tree.
function(rumbleon_layering_check)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  get_property(libraries GLOBAL PROPERTY RUMBLEON_LIBRARIES)
  set(text "")
  set(all_sources)
  foreach(lib IN LISTS libraries)
    get_property(dirs GLOBAL PROPERTY RUMBLEON_LIBRARY_DIRS_${lib})
    get_property(libs GLOBAL PROPERTY RUMBLEON_LIBRARY_LIBS_${lib})
    get_property(sources GLOBAL PROPERTY RUMBLEON_LIBRARY_SOURCES_${lib})
    set(deps)
    foreach(dep IN LISTS libs)
      if(dep IN_LIST libraries)
        list(APPEND deps ${dep})
      endif()
    endforeach()
    list(JOIN deps " " deps_text)
    list(JOIN dirs " " dirs_text)
    string(APPEND text "library ${lib} ${deps_text}\ndirs ${lib} ${dirs_text}\n")
    foreach(source IN LISTS sources)
      file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${source})
      string(APPEND text "file ${lib} ${rel}\n")
    endforeach()
    list(APPEND all_sources ${sources})
  endforeach()
  set(map ${PROJECT_BINARY_DIR}/layering.txt)
  set(stamp ${PROJECT_BINARY_DIR}/layering.stamp)
  set(script ${PROJECT_SOURCE_DIR}/cmake/check_layering.py)
  file(GENERATE OUTPUT ${map} CONTENT "${text}")
  add_custom_command(OUTPUT ${stamp}
    COMMAND Python3::Interpreter ${script} --root ${PROJECT_SOURCE_DIR} --map ${map} --stamp ${stamp}
    DEPENDS ${script} ${map} ${all_sources}
    COMMENT "Checking the libraries' layering"
    VERBATIM)
  add_custom_target(rumbleon_layering DEPENDS ${stamp})
  foreach(lib IN LISTS libraries)
    add_dependencies(${lib} rumbleon_layering)
  endforeach()
endfunction()

# rumbleon_register_resource(<NAME> <file> <generator-target> [MODULE_ONLY])
# Declares a file produced at build time as a named resource of the module.
# A MODULE_ONLY resource (the factory bank) is embedded only where it is named
# or ALL is asked for: the test instruments would otherwise load it as their
# own programs at set-up.
function(rumbleon_register_resource name file generator)
  cmake_parse_arguments(ARG "MODULE_ONLY" "" "" ${ARGN})
  set_property(GLOBAL APPEND PROPERTY RUMBLEON_RESOURCE_NAMES ${name})
  set_property(GLOBAL PROPERTY RUMBLEON_RESOURCE_FILE_${name} ${file})
  set_property(GLOBAL PROPERTY RUMBLEON_RESOURCE_GEN_${name} ${generator})
  if(ARG_MODULE_ONLY)
    set_property(GLOBAL APPEND PROPERTY RUMBLEON_MODULE_ONLY_RESOURCES ${name})
  endif()
endfunction()

# rumbleon_embed_resources(<target> [ALL | <NAME>...])
# Embeds the named resources (default: every registered one but the
# MODULE_ONLY ones; ALL: every one) into <target> and gives it the table that
# LoadResourceStream searches.
function(rumbleon_embed_resources target)
  set(names ${ARGN})
  if(NOT names OR names STREQUAL "ALL")
    get_property(all_names GLOBAL PROPERTY RUMBLEON_RESOURCE_NAMES)
    get_property(module_only GLOBAL PROPERTY RUMBLEON_MODULE_ONLY_RESOURCES)
    set(names ${all_names})
    if(NOT ARGN STREQUAL "ALL" AND module_only)
      list(REMOVE_ITEM names ${module_only})
    endif()
  endif()
  set(asm "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.S")
  set(cpp "${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp")
  set(asm_text "")
  set(decl_text "")
  set(table_text "")
  set(files)
  set(i 0)
  foreach(name IN LISTS names)
    get_property(file GLOBAL PROPERTY RUMBLEON_RESOURCE_FILE_${name})
    get_property(gen GLOBAL PROPERTY RUMBLEON_RESOURCE_GEN_${name})
    if(NOT file)
      message(FATAL_ERROR "resource ${name} is not registered")
    endif()
    list(APPEND files ${file})
    if(gen)
      add_dependencies(${target} ${gen})
    endif()
    string(APPEND asm_text
      "    .globl rumbleon_res_${i}_begin\n    .hidden rumbleon_res_${i}_begin\n"
      "    .globl rumbleon_res_${i}_end\n    .hidden rumbleon_res_${i}_end\n"
      "    .balign 16\nrumbleon_res_${i}_begin:\n    .incbin \"${file}\"\nrumbleon_res_${i}_end:\n    .byte 0\n")
    string(APPEND decl_text
      "extern \"C\" const unsigned char rumbleon_res_${i}_begin[];\nextern \"C\" const unsigned char rumbleon_res_${i}_end[];\n")
    string(APPEND table_text "  {\"${name}\", rumbleon_res_${i}_begin, rumbleon_res_${i}_end},\n")
    math(EXPR i "${i} + 1")
  endforeach()
  file(GENERATE OUTPUT ${asm} CONTENT
"    .section .rodata.rumbleon_resources,\"a\"\n${asm_text}    .section .note.GNU-stack,\"\",@progbits\n")
  if(i EQUAL 0)
    set(table_text "  {nullptr, nullptr, nullptr},\n")
  endif()
  file(GENERATE OUTPUT ${cpp} CONTENT
"// Generated by rumbleon_embed_resources: the resources embedded into ${target}.
#include \"platform/resources.h\"
#include <cstddef>
${decl_text}
namespace {
const TResourceEntry kResources[] = {
${table_text}};
}  // namespace
extern \"C\" const TResourceEntry* RumbleonResourceTable(std::size_t* count) {
  *count = ${i};
  return kResources;
}
")
  # Source properties belong to a directory: set them where the target lives
  # (a deferred call may run in another one).
  set_source_files_properties(${asm} TARGET_DIRECTORY ${target} PROPERTIES OBJECT_DEPENDS "${files}")
  target_sources(${target} PRIVATE ${asm} ${cpp})
endfunction()

# rumbleon_test(<name> DIRS <dir>... [EXCLUDE <dir>...] LIBS <lib>... [RESOURCES])
# One test executable for the test sources below the given folders (but not
# below an EXCLUDE folder).
function(rumbleon_test name)
  cmake_parse_arguments(ARG "RESOURCES" "" "DIRS;EXCLUDE;LIBS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS
      ${PROJECT_SOURCE_DIR}/${dir}/*.cpp ${PROJECT_SOURCE_DIR}/${dir}/*.h)
    list(APPEND sources ${found})
  endforeach()
  foreach(dir IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "^${PROJECT_SOURCE_DIR}/${dir}/")
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} rumbleon_test_support GTest::gtest GTest::gtest_main)
  rumbleon_warnings(${name})
  if(ARG_RESOURCES)
    rumbleon_embed_resources(${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "RUMBLEON_BINARY_DIR=${PROJECT_BINARY_DIR}"
               ENVIRONMENT_MODIFICATION "RUMBLEON_SOURCE_DIR=set:${PROJECT_SOURCE_DIR}")
endfunction()
