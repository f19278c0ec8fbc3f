# Window logic shared by every front end; no toolkit in it.
add_library(zem_appcore STATIC
  ${CMAKE_CURRENT_LIST_DIR}/FormMainLogic.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LabelLayout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LogArchive.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StationLogic.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StationSettings.cpp
  # The real channels and protocol; programs that inject their own never pull this file in.
  ${CMAKE_CURRENT_LIST_DIR}/RealServices.cpp
)
target_include_directories(zem_appcore PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zem_appcore PUBLIC zem_run zem_fpl zem_channel zem_report zem_platform)
