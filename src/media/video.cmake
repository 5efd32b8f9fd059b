# krel_video: adapters and encoders, capture, scaler, video encoder.
# Portable logic in src/media, the Linux calls in src/media/linux.
add_library(krel_video STATIC
  ${CMAKE_CURRENT_LIST_DIR}/capture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encoder_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/encoder_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gpu_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nv12_convert.cpp
  ${CMAKE_CURRENT_LIST_DIR}/placement.cpp
  ${CMAKE_CURRENT_LIST_DIR}/video_scaler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linux/av_video_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linux/drm_adapters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linux/hw_probe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linux/vaapi_vpp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linux/x11_capture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linux/x11_support.cpp
)
target_include_directories(krel_video PUBLIC ${KREL_SRC_DIR})
target_link_libraries(krel_video
  PUBLIC krel_core krel_config fmt::fmt Threads::Threads PkgConfig::FFMPEG
  PRIVATE PkgConfig::LIBVA PkgConfig::X11LIBS)
# The pixel conversion is the per-frame hot path: let the compiler vectorise
# it in every build type.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/nv12_convert.cpp PROPERTIES COMPILE_OPTIONS "-O3")
