# krel_audio: audio sources and devices, the mixer and the AAC encoder. The
# portable part (queues, mixing arithmetic, engine, capture thread) is shared
# by every platform; the sound-server calls come from the platform's backend.
add_library(krel_audio STATIC
  ${CMAKE_CURRENT_LIST_DIR}/aac_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audio_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audio_mixer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture_stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture_thread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/microphone_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sample_queue.cpp
)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # libpulse serves PulseAudio and PipeWire (through pipewire-pulse).
  target_sources(krel_audio PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/linux/pulse_connection.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/pulse_microphones.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/pulse_server.cpp
  )
  target_link_libraries(krel_audio PRIVATE PkgConfig::PULSE)
endif()
target_include_directories(krel_audio PUBLIC ${KREL_SRC_DIR})
target_link_libraries(krel_audio PUBLIC krel_core krel_config fmt::fmt Threads::Threads PkgConfig::FFMPEG)
