# Port name -> channel, for zemcli and both GUIs.
add_library(zem_openchannel STATIC ${CMAKE_CURRENT_LIST_DIR}/OpenChannel.cpp)
target_include_directories(zem_openchannel PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zem_openchannel PUBLIC zem_channel zem_platform)
