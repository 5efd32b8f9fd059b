# Video tests. They run inside scripts/services.sh (a private Xvfb at
# $DISPLAY); each test process logs into a data folder of its own.
add_library(krel_video_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/video_test_support.cpp)
target_include_directories(krel_video_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(krel_video_test_support PUBLIC krel_video krel_test_support PkgConfig::X11LIBS PkgConfig::FFMPEG)

foreach(t placement gpu encoder_queue encoder encoder_settings scaler capture)
  if(t STREQUAL "capture")
    set(src ${CMAKE_CURRENT_LIST_DIR}/capture_x11_test.cpp)
  else()
    set(src ${CMAKE_CURRENT_LIST_DIR}/video_${t}_test.cpp)
  endif()
  krel_add_test(krel_video_${t}_tests SOURCES ${src} LIBS krel_video krel_video_test_support)
endforeach()
