# Port name -> channel, for zemcli and both GUIs. The serial channel exists only for POSIX so
# far, so the cross build leaves this library out until its Win32 platform files arrive.
if(NOT WIN32)
  add_library(zem_openchannel STATIC ${CMAKE_CURRENT_LIST_DIR}/OpenChannel.cpp)
  target_include_directories(zem_openchannel PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(zem_openchannel PUBLIC zem_channel zem_platform)
endif()
