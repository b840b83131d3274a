# One static library per source folder, linked only to the folders below it:
#   kivo_subsystem(NAME SOURCES a.cpp ... [DEPENDS lower ...] [PRIVATE_DEPS target ...])
# makes kivo_NAME. The shared library kivo is made of every subsystem's objects; kivo_internal
# (tests, tools, benchmarks) links them all. The layering test checks each folder's includes
# against DEPENDS.
add_library(kivo_base INTERFACE)
target_include_directories(kivo_base INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
target_link_libraries(kivo_base INTERFACE kivo_warnings ${KIVO_PUBLIC_DEPS})

function(kivo_subsystem name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;PRIVATE_DEPS" ${ARGN})
  add_library(kivo_${name} STATIC ${ARG_SOURCES})
  set_target_properties(kivo_${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  list(TRANSFORM ARG_DEPENDS PREPEND kivo_ OUTPUT_VARIABLE lower)
  target_link_libraries(kivo_${name} PUBLIC kivo_base ${lower} PRIVATE ${ARG_PRIVATE_DEPS})
  set_property(GLOBAL APPEND PROPERTY KIVO_SUBSYSTEMS ${name})
  set_property(GLOBAL APPEND PROPERTY KIVO_SUBSYSTEM_PRIVATE_DEPS ${ARG_PRIVATE_DEPS})
  string(REPLACE ";" "," layer "${name}=${ARG_DEPENDS}")
  set_property(GLOBAL APPEND PROPERTY KIVO_LAYERS "${layer}")
endfunction()
