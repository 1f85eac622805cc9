# Each folder of src/ is one layer: an OBJECT library made of every .cpp in the folder.
# usbredir_core (static) and the plug-in (shared) gather the layers' objects.
function(usbredir_add_layer name)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  set(_target usbredir_${name})
  add_library(${_target} OBJECT ${_srcs})
  target_include_directories(${_target} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  set_target_properties(${_target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${_target} PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
  set_property(GLOBAL APPEND PROPERTY USBREDIR_LAYERS ${_target})
endfunction()
