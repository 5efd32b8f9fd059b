# Audio tests. The mixer and AAC tests need no sound server; the engine and
# device tests run against the PulseAudio that scripts/services.sh starts.
add_library(krel_test_audio STATIC ${CMAKE_CURRENT_LIST_DIR}/audio_test_support.cpp)
target_include_directories(krel_test_audio PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(krel_test_audio PUBLIC krel_audio krel_test_support GTest::gtest PkgConfig::PULSE PkgConfig::FFMPEG)

krel_add_test(krel_audio_mixer_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_mixer_test.cpp LIBS krel_audio)
krel_add_test(krel_audio_aac_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_aac_test.cpp LIBS krel_test_audio)
krel_add_test(krel_audio_engine_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_engine_test.cpp LIBS krel_test_audio)
krel_add_test(krel_audio_devices_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_devices_test.cpp LIBS krel_test_audio)
